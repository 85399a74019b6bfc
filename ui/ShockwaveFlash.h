#pragma once
// A banner of the bar area: plays the movie Movie.ini names (an animated
// GIF frame by frame, any other image as a still) scaled to its rectangle.
// A movie that is empty or cannot be loaded leaves the banner blank.
#include <QLabel>
#include <QRect>
#include <string>

class QMovie;

class CShockwaveFlash : public QLabel {
  Q_OBJECT
 public:
  explicit CShockwaveFlash(QWidget* parent = nullptr);

  // A visible child of parent in rect; id names it among its siblings.
  bool Create(const QRect& rect, QWidget* parent, int id = 0);
  // The movie as a GBK text: a path (relative ones lie beside the program)
  // or a file: address.
  void SetMovie(const std::string& movie);

  QMovie* Movie() const { return m_pMovie; }
  bool IsBlank() const;

 private:
  QMovie* m_pMovie = nullptr;
};
