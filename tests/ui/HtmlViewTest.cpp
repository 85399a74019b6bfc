#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QtTest>
#include <filesystem>

#include "engine/Gbk.h"
#include "res/Texts.h"
#include "tests/ui/BrowseFakes.h"
#include "ui/SystemOpener.h"
#include "tests/ui/UiTestHome.h"
#include "ui/MainTreeView.h"
#include "ui/MyHtmlView.h"

namespace fs = std::filesystem;

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// Counts the presses that get past the view's own filtering.
class CountingView : public CMyHtmlView {
 public:
  int m_nPresses = 0;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    ++m_nPresses;
    CMyHtmlView::mousePressEvent(event);
  }
};

const char kCategoryPage[] =
    "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\"></head><body>"
    "<h3>热门排行榜</h3>"
    "<p><a href=\"http://127.0.0.1:9/song?word=Song%20Name\">Spaced</a></p>"
    "<p><a href=\"http://127.0.0.1:9/song?word=A+B;C\">Two</a></p>"
    "<p><a href=\"http://127.0.0.1:9/song?word=abc&amp;x=1\">Params</a></p>"
    "<p><a href=\"http://127.0.0.1:9/song?word=%D6%DC\">Escaped</a></p>"
    "<p><a href=\"http://127.0.0.1:9/song?word=月亮之上\">月亮之上</a></p>"
    "<p><a href=\"song://42?word=Numeric\">Numeric</a></p>"
    "<p><a href=\"http://127.0.0.1:9/about.html\">NoWord</a></p>"
    "<p><a href=\"rm.htm\">Local</a></p>"
    "<p><a href=\"song?word=Relative%20One\">Relative</a></p>"
    "<p><a href=\"gone.htm\">Gone</a></p>"
    "</body></html>";

const char kNewsPage[] =
    "<html><body><h3>新闻娱乐</h3>"
    "<p><a href=\"A.htm\">AllSongs</a></p>"
    "<p><a href=\"http://127.0.0.1:9/news?word=x\">Outside</a></p>"
    "<p><a href=\"missing.htm\">Missing</a></p>"
    "</body></html>";

}  // namespace

class HtmlViewTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<vtest::TempHome> m_home;
  std::unique_ptr<HookRecorder> m_hooks;

  void WritePage(const char* file, const char* utf8) {
    fs::create_directories(m_home->home() + "/html");
    QVERIFY(vtest::WriteFile(m_home->home() + "/html/" + file, Utf8ToGbk(utf8)));
  }
  // Clicks the link whose text is `text` the way a user does.
  static void ClickLink(CMyHtmlView& view, const QString& text) {
    QTextCursor found = view.document()->find(text);
    QVERIFY2(!found.isNull(), qPrintable(text));
    QTextCursor at(view.document());
    at.setPosition(found.selectionStart() + 1);
    const QPoint pos = view.cursorRect(at).center();
    QCOMPARE(view.anchorAt(pos).isEmpty(), false);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, pos);
  }

 private slots:
  void init() {
    m_home = std::make_unique<vtest::TempHome>();
    m_hooks = std::make_unique<HookRecorder>();
    WritePage("A.htm", kCategoryPage);
    WritePage("rm.htm", kCategoryPage);
    WritePage("kk.htm", kNewsPage);
  }
  void cleanup() {
    m_hooks.reset();
    m_home.reset();
  }

  void pageTable() {
    QCOMPARE(CMyHtmlView::PageOfCategory(Q("全部歌曲")), QString("A.htm"));
    QCOMPARE(CMyHtmlView::PageOfCategory(Q("热门排行榜")), QString("rm.htm"));
    QCOMPARE(CMyHtmlView::PageOfCategory(Q("流行精选")), QString("lx.htm"));
    QCOMPARE(CMyHtmlView::PageOfCategory(Q("民族歌曲")), QString("mz.htm"));
    QCOMPARE(CMyHtmlView::PageOfCategory(Q("校园民谣")), QString("xy.htm"));
    QCOMPARE(CMyHtmlView::PageOfCategory(Q("影视金曲")), QString("ys.htm"));
    QCOMPARE(CMyHtmlView::PageOfCategory(Q("经典英文")), QString("yw.htm"));
    QCOMPARE(CMyHtmlView::PageOfCategory(Q("新闻娱乐")), QString("kk.htm"));
    QVERIFY(CMyHtmlView::PageOfCategory(Q("歌曲列表")).isEmpty());
  }

  void categoryPageIsDecodedFromGbk() {
    CMyHtmlView view;
    QVERIFY(!view.IsInterceptingLinks());
    view.ShowCategory(Q("全部歌曲"));
    QVERIFY(view.IsInterceptingLinks());
    QCOMPARE(view.source(), QUrl::fromLocalFile(QString::fromStdString(m_home->home() + "/html/A.htm")));
    QVERIFY(view.toPlainText().contains(Q("热门排行榜")));
    QVERIFY(view.toPlainText().contains(Q("月亮之上")));
    view.ShowCategory(Q("新闻娱乐"));
    QVERIFY(!view.IsInterceptingLinks());
    QVERIFY(view.toPlainText().contains(Q("新闻娱乐")));
    // A page that is missing shows as an empty page.
    view.ShowCategory(Q("流行精选"));
    QVERIFY(view.toPlainText().trimmed().isEmpty());
  }

  void songLinksStartTasks() {
    CMyHtmlView view;
    view.ShowCategory(Q("热门排行榜"));
    const QUrl page = view.source();
    view.BeforeNavigate("http://127.0.0.1:9/song?word=Song%20Name");
    view.BeforeNavigate("http://127.0.0.1:9/song?word=A+B;C");
    view.BeforeNavigate("http://127.0.0.1:9/song?word=abc&x=1");
    view.BeforeNavigate("http://127.0.0.1:9/song?word=%D6%DC%2B");
    view.BeforeNavigate("http://127.0.0.1:9/song?word=");
    view.BeforeNavigate("http://127.0.0.1:9/song?Word=upper");
    view.BeforeNavigate("http://127.0.0.1:9/about.html");
    QCOMPARE(m_hooks->added, (std::vector<std::string>{"Song Name", "A B;C", "abc&x=1", "%D6%DC%2B", ""}));
    // Nothing navigated away, and nothing went to the system browser.
    QCOMPARE(view.source(), page);
    QVERIFY(m_hooks->opened.empty());
  }

  void clickedLinksUseTheHrefAsWritten() {
    CMyHtmlView view;
    view.resize(500, 600);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.ShowCategory(Q("全部歌曲"));
    ClickLink(view, "Spaced");
    ClickLink(view, "Params");
    ClickLink(view, Q("月亮之上"));
    ClickLink(view, "Numeric");
    ClickLink(view, "NoWord");
    QCOMPARE(m_hooks->added.size(), size_t{4});
    QCOMPARE(m_hooks->added[0], std::string("Song Name"));
    QCOMPARE(m_hooks->added[1], std::string("abc&x=1"));
    QCOMPARE(m_hooks->added[2], Utf8ToGbk("月亮之上"));
    QCOMPARE(m_hooks->added[3], std::string("Numeric"));
    QVERIFY(view.source().toLocalFile().endsWith("/html/A.htm"));

    // A link to another page of the html folder is followed in the view.
    ClickLink(view, "Local");
    QVERIFY(view.source().toLocalFile().endsWith("/html/rm.htm"));
    QCOMPARE(m_hooks->added.size(), size_t{4});
    QVERIFY(view.IsInterceptingLinks());
  }

  void songLinkRefreshesTheDownloadList() {
    FakeFrame frame;
    CBrowseState::Get().m_pFrame = &frame;
    CDowningList* list = frame.DowningList();
    list->setRowCount(3);  // stale rows; without tasks the refresh empties it
    CMyHtmlView* view = frame.Page();
    view->ShowCategory(Q("全部歌曲"));
    view->BeforeNavigate("http://127.0.0.1:9/about.html");
    QCOMPARE(list->rowCount(), 3);
    view->BeforeNavigate("http://127.0.0.1:9/song?word=x");
    QCOMPARE(list->rowCount(), 0);
  }

  void songLinkStartsTasksInTheRealTable() {
    m_hooks.reset();  // the real task table this time
    uitest::UiHome h;
    fs::create_directories(h.home.home() + "/html");
    QVERIFY(vtest::WriteFile(h.home.home() + "/html/A.htm", Utf8ToGbk(kCategoryPage)));
    h.Start();
    auto* tree = qobject_cast<CMainTreeView*>(h.frame->GetTreeView());
    QVERIFY(tree);
    tree->setCurrentItem(tree->findItems(Q("全部歌曲"), Qt::MatchExactly | Qt::MatchRecursive).value(0));
    auto* page = qobject_cast<CMyHtmlView*>(h.frame->GetBottomView());
    QVERIFY(page && page->IsInterceptingLinks());
    page->BeforeNavigate("http://127.0.0.1:9/song?word=A+B;C");
    const std::vector<std::string> names = h.TaskNames();
    QCOMPARE(names, (std::vector<std::string>{"A B", "C"}));
    // The list was refilled from the table at once.
    auto* list = qobject_cast<CDowningList*>(h.frame->GetRightView());
    QVERIFY(list);
    QCOMPARE(list->rowCount(), 2);
    QVERIFY(page->source().toLocalFile().endsWith("/html/A.htm"));
    m_hooks = std::make_unique<HookRecorder>();
  }

  void newsPageFollowsEveryLink() {
    CMyHtmlView view;
    view.resize(500, 400);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.ShowCategory(Q("新闻娱乐"));
    ClickLink(view, "Outside");
    QCOMPARE(m_hooks->opened.size(), size_t{1});
    QCOMPARE(m_hooks->opened[0], QUrl("http://127.0.0.1:9/news?word=x"));
    QVERIFY(m_hooks->added.empty());
    ClickLink(view, "AllSongs");
    QVERIFY(view.source().toLocalFile().endsWith("/html/A.htm"));
    QVERIFY(m_hooks->added.empty());
  }

  void addressesThatOnlyLookLocal() {
    CMyHtmlView view;
    view.ShowCategory(Q("全部歌曲"));
    // Climbing out of the html folder is not a local page any more.
    view.BeforeNavigate("../outside.htm?word=Climb");
    QCOMPARE(m_hooks->added, std::vector<std::string>{"Climb"});
    view.BeforeNavigate("http://127.0.0.1:9/html/x?word=Remote");
    QCOMPARE(m_hooks->added.size(), size_t{2});
    QCOMPARE(m_hooks->added[1], std::string("Remote"));
  }

  // A song link written relative to the page resolves into the page
  // folder; it still names a song. A page that is not there leaves the
  // view as it was instead of blanking it.
  void relativeSongLinksAndMissingPages() {
    CMyHtmlView view;
    view.resize(500, 400);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.ShowCategory(Q("全部歌曲"));
    const QUrl page = view.source();
    ClickLink(view, "Relative");
    QCOMPARE(m_hooks->added, std::vector<std::string>{"Relative One"});
    view.BeforeNavigate("./sub/song.asp?id=3&word=Deeper");
    QCOMPARE(m_hooks->added.back(), std::string("Deeper"));
    QCOMPARE(view.source(), page);
    ClickLink(view, "Gone");
    QCOMPARE(view.source(), page);
    QVERIFY(view.toPlainText().contains("Relative"));
    QCOMPARE(m_hooks->added.size(), size_t{2});

    view.ShowCategory(Q("新闻娱乐"));
    const QUrl news = view.source();
    ClickLink(view, "Missing");
    QCOMPARE(view.source(), news);
    QVERIFY(view.toPlainText().contains(Q("新闻娱乐")));
    QVERIFY(m_hooks->opened.empty());
  }

  // Without a browser the user hears about it instead of nothing happening.
  void outsideLinkThatCannotOpenIsReported() {
    CMyHtmlView view;
    view.ShowCategory(Q("新闻娱乐"));
    GetBrowseHooks().openUrl = nullptr;
    CSystemOpener::SetProgram(QString::fromStdString(m_home->root() + "/no-such-opener"));
    auto restore = qScopeGuard([] { CSystemOpener::SetProgram("xdg-open"); });
    view.BeforeNavigate("http://127.0.0.1:9/news?word=x");
    QTRY_COMPARE_WITH_TIMEOUT(m_hooks->boxes.size(), size_t{1}, 10000);
    QCOMPARE(m_hooks->boxes[0].text, Q("无法打开链接: http://127.0.0.1:9/news?word=x"));
  }

  void rightButtonNeverReachesThePage() {
    CountingView view;
    view.resize(400, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.ShowCategory(Q("全部歌曲"));
    QTest::mousePress(view.viewport(), Qt::RightButton, {}, QPoint(20, 20));
    QTest::mouseRelease(view.viewport(), Qt::RightButton, {}, QPoint(20, 20));
    QTest::mouseDClick(view.viewport(), Qt::RightButton, {}, QPoint(20, 20));
    QCOMPARE(view.m_nPresses, 0);
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, QPoint(20, 20));
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, QPoint(20, 20));
    QCOMPARE(view.m_nPresses, 1);
    QCOMPARE(view.contextMenuPolicy(), Qt::NoContextMenu);
  }

  void screenshotCategoryPage() {
    m_hooks.reset();
    uitest::UiHome h;
    const std::string demo =
        "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\"></head>"
        "<body><h3>热门排行榜</h3><ol>"
        "<li><a href=\"http://127.0.0.1:9/song?word=月亮之上\">月亮之上</a></li>"
        "<li><a href=\"http://127.0.0.1:9/song?word=小城故事\">小城故事</a></li>"
        "<li><a href=\"http://127.0.0.1:9/song?word=Song+Name\">Song Name</a></li>"
        "</ol></body></html>";
    fs::create_directories(h.home.home() + "/html");
    QVERIFY(vtest::WriteFile(h.home.home() + "/html/rm.htm", Utf8ToGbk(demo)));
    h.Start();
    auto* tree = qobject_cast<CMainTreeView*>(h.frame->GetTreeView());
    tree->setCurrentItem(tree->findItems(Q("热门排行榜"), Qt::MatchExactly | Qt::MatchRecursive).value(0));
    QVERIFY(QTest::qWaitForWindowExposed(h.frame.get()));
    QCoreApplication::processEvents();
    const QString out = qEnvironmentVariable("VIRELOMP3_SCREENSHOTS");
    if (!out.isEmpty()) QVERIFY(h.frame->grab().save(out + "/category-page.png"));
    m_hooks = std::make_unique<HookRecorder>();
  }
};

QTEST_MAIN(HtmlViewTest)
#include "HtmlViewTest.moc"
