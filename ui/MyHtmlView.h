#pragma once
// The local category pages shown below the download list. On a song
// category page a click on a song link starts the download of the song the
// link names after "word="; the news page follows its links.
#include <QTextBrowser>
#include <QUrl>
#include <string>

class CMyHtmlView : public QTextBrowser {
  Q_OBJECT
 public:
  explicit CMyHtmlView(QWidget* parent = nullptr);

  // Shows the page of a category node ("全部歌曲" ... "新闻娱乐").
  void ShowCategory(const QString& nodeText);
  // A navigation the page is about to make, with the address as written in
  // the page; intercepted song links never navigate.
  void BeforeNavigate(const QString& address);
  // Starts the task named after "word=" in the address, then refreshes the
  // download list.
  void StartFromLink(const QString& address);

  bool IsInterceptingLinks() const { return m_bInterceptLinks; }
  // Program directory + "/html".
  static QString HtmlDirectory();
  // The page file of a node text, or empty for a text outside the table.
  static QString PageOfCategory(const QString& nodeText);

 protected:
  QVariant loadResource(int type, const QUrl& name) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  void OnAnchorClicked(const QUrl& url);
  QString RawHref(const QUrl& url) const;
  bool IsUnderHtmlDirectory(const QUrl& resolved) const;

  bool m_bInterceptLinks = false;
  bool m_bShowingCategory = false;  // ShowCategory's own navigation
  QString m_strPressedHref;  // href under the last left-button release
};
