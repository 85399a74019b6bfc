#pragma once
// The search bar: a song-name box and the bitmap button "下载" that hands
// the text to the task table and brings the download list on screen.
#include <QAbstractButton>
#include <QPixmap>
#include <QWidget>

class QLabel;
class QLineEdit;

// A push button drawn entirely by its two pictures (they carry the label).
class CBitmapButton : public QAbstractButton {
  Q_OBJECT
 public:
  CBitmapButton(const QPixmap& up, const QPixmap& down, QWidget* parent = nullptr);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap m_up;
  QPixmap m_down;
};

class CSearchView : public QWidget {
  Q_OBJECT
 public:
  enum { kIdTemplate = 139, kIdButton = 1000, kIdEdit = 1001 };
  explicit CSearchView(QWidget* parent = nullptr);

  QLineEdit* Edit() const { return m_pEdit; }
  CBitmapButton* Button() const { return m_pButton; }
  void OnDownload();

 private:
  QLabel* m_pLabel;
  QLineEdit* m_pEdit;
  CBitmapButton* m_pButton;
  std::string m_strSongName;
};
