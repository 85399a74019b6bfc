#include "ui/MyHtmlView.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QTextBlock>
#include <QTextDocument>

#include "engine/Common.h"
#include "engine/Gbk.h"
#include "res/Texts.h"
#include "ui/BrowseFrame.h"
#include "ui/BrowseHooks.h"
#include "ui/DowningList.h"
#include "ui/DragState.h"

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

struct PageRow {
  const char* node;
  const char* page;
};
const PageRow kPages[] = {
    {txt::kNodeAllSongs, "A.htm"}, {txt::kNodeHitChart, "rm.htm"}, {txt::kNodePop, "lx.htm"},
    {txt::kNodeFolk, "mz.htm"},    {txt::kNodeCampus, "xy.htm"},   {txt::kNodeFilm, "ys.htm"},
    {txt::kNodeEnglish, "yw.htm"}, {txt::kNodeNews, "kk.htm"},
};

}  // namespace

CMyHtmlView::CMyHtmlView(QWidget* parent) : QTextBrowser(parent) {
  // Every link goes through BeforeNavigate; the browser opens nothing itself.
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setContextMenuPolicy(Qt::NoContextMenu);
  connect(this, &QTextBrowser::anchorClicked, this, &CMyHtmlView::OnAnchorClicked);
}

QString CMyHtmlView::HtmlDirectory() {
  return QDir::cleanPath(QString::fromStdString(GetAppDirectory()) + "/html");
}

QString CMyHtmlView::PageOfCategory(const QString& nodeText) {
  for (const PageRow& row : kPages)
    if (nodeText == Q(row.node)) return QString::fromLatin1(row.page);
  return QString();
}

void CMyHtmlView::ShowCategory(const QString& nodeText) {
  m_bInterceptLinks = true;
  const QString page = PageOfCategory(nodeText);
  if (nodeText == Q(txt::kNodeNews)) m_bInterceptLinks = false;
  // A text outside the table leaves the folder itself as the address.
  const QString address = page.isEmpty() ? HtmlDirectory() : HtmlDirectory() + "/" + page;
  // The node's own page is shown even when missing (as an empty page).
  m_bShowingCategory = true;
  BeforeNavigate(QUrl::fromLocalFile(address).toString());
  m_bShowingCategory = false;
}

bool CMyHtmlView::IsUnderHtmlDirectory(const QUrl& resolved) const {
  if (!resolved.isLocalFile()) return false;
  const QString dir = HtmlDirectory();
  const QString path = QDir::cleanPath(resolved.toLocalFile());
  return path == dir || path.startsWith(dir + "/");
}

void CMyHtmlView::BeforeNavigate(const QString& address) {
  const QUrl base = source();
  const QUrl resolved = base.isEmpty() ? QUrl(address) : base.resolved(QUrl(address));
  // A song link is one that names a song, however the page wrote its
  // address (a relative "song?word=X" resolves into the page folder).
  if (m_bInterceptLinks && (address.contains(QLatin1String("word=")) || !IsUnderHtmlDirectory(resolved))) {
    StartFromLink(address);
    return;
  }
  if (resolved.isLocalFile()) {
    // A page that is not there would leave the view blank: stay put.
    if (!m_bShowingCategory && !QFileInfo(resolved.toLocalFile()).isFile()) return;
    QUrl page = resolved;
    page.setFragment(QString());
    QUrl current = source();
    current.setFragment(QString());
    if (page == current && resolved.hasFragment())
      scrollToAnchor(resolved.fragment());
    else
      setSource(resolved);
    return;
  }
  // Outside addresses belong to the system's browser.
  BrowseOpenLink(resolved);
}

void CMyHtmlView::StartFromLink(const QString& address) {
  const qsizetype at = address.indexOf(QLatin1String("word="));
  if (at < 0) return;
  // Only the two ways a page writes a blank are decoded; any other escape
  // is part of the name as the page wrote it.
  QString name = address.mid(at + 5);
  name.replace(QLatin1String("%20"), QLatin1String(" "));
  name.replace(QLatin1Char('+'), QLatin1Char(' '));
  BrowseAddTasks(Utf8ToGbk(name.toStdString()));
  if (IBrowseFrame* frame = CBrowseState::Get().m_pFrame)
    if (auto* list = qobject_cast<CDowningList*>(frame->GetRightView())) list->RefreshList();
}

QVariant CMyHtmlView::loadResource(int type, const QUrl& name) {
  const QUrl url = name.isRelative() ? source().resolved(name) : name;
  if (type != QTextDocument::HtmlResource || !url.isLocalFile()) return QTextBrowser::loadResource(type, name);
  // The pages are GBK; Qt would read them as UTF-8.
  QFile file(url.toLocalFile());
  if (!file.open(QIODevice::ReadOnly)) return QString();
  const QByteArray bytes = file.readAll();
  return QString::fromStdString(GbkToUtf8(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()))));
}

QString CMyHtmlView::RawHref(const QUrl& url) const {
  // QUrl rewrites what it parses (escapes, numeric hosts); the page's own
  // text is what counts.
  if (!m_strPressedHref.isEmpty()) return m_strPressedHref;
  for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextCharFormat format = it.fragment().charFormat();
      if (format.isAnchor() && QUrl(format.anchorHref()) == url) return format.anchorHref();
    }
  }
  return url.toString();
}

void CMyHtmlView::OnAnchorClicked(const QUrl& url) { BeforeNavigate(RawHref(url)); }

void CMyHtmlView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) m_strPressedHref = anchorAt(event->position().toPoint());
  QTextBrowser::mouseReleaseEvent(event);
  m_strPressedHref.clear();
}

bool CMyHtmlView::viewportEvent(QEvent* event) {
  // Right-button presses never reach the page.
  if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
    if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) return true;
  }
  if (event->type() == QEvent::ContextMenu) return true;
  return QTextBrowser::viewportEvent(event);
}
