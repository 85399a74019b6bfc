// The main frame: bars, panes, toolbar commands, tray, exit and the second
// copy that asks the first to come forward.
#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QMenuBar>
#include <QComboBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>
#include <filesystem>
#include <sys/stat.h>

#include "tests/support/SongMaker.h"
#include "res/Texts.h"
#include "tests/ui/UiTestHome.h"
#include "ui/BrowseHooks.h"
#include "ui/DowningList.h"
#include "ui/MessageBoxes.h"
#include "ui/SearchView.h"
#include "ui/SettingsDlg.h"

using uitest::MakeEntry;
using uitest::Names;
using uitest::UiHome;

class MainFrameTest : public QObject {
  Q_OBJECT

 private slots:
  void toolbarHasSixButtonsInOrder() {
    UiHome h;
    h.Start();
    QToolBar* bar = h.frame->GetToolBar();
    const QList<QAction*> actions = bar->actions();
    QCOMPARE(actions.size(), 7);
    const int ids[] = {101, 102, 103, 106, 107, 104, 105};
    const char* texts[] = {"全部开始", "全部停止", "全部删除", "参数设置", "在线升级", nullptr, "退出系统"};
    for (int i = 0; i < 7; ++i) {
      QCOMPARE(actions[i]->data().toInt(), ids[i]);
      if (!texts[i]) {
        QVERIFY(actions[i]->isSeparator());
        continue;
      }
      QCOMPARE(actions[i]->text(), QString::fromUtf8(texts[i]));
      QVERIFY(!actions[i]->icon().isNull());
      QVERIFY(actions[i]->toolTip().isEmpty() || actions[i]->toolTip() == actions[i]->text());
      auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(actions[i]));
      QVERIFY(button);
      QVERIFY(button->width() >= 40 && button->width() <= 80);
    }
    QCOMPARE(bar->iconSize(), QSize(20, 20));
    QCOMPARE(h.frame->GetCommand(105), actions[6]);
  }

  void titleMenusAndBarArea() {
    UiHome h;
    h.Start();
    QCOMPARE(h.frame->windowTitle(), QString::fromUtf8("VireloMP3下载器 2.0版"));
    QStringList menus;
    for (QAction* a : h.frame->menuBar()->actions()) menus << a->text();
    QCOMPARE(menus, QStringList({"文件(&F)", "查看(&V)", "帮助(&H)"}));
    QMenu* file = h.frame->menuBar()->actions()[0]->menu();
    QCOMPARE(file->actions().size(), 2);
    QVERIFY(file->actions()[0]->isSeparator());
    QCOMPARE(file->actions()[1]->text(), QString::fromUtf8("关闭(&X)"));
    QMenu* help = h.frame->menuBar()->actions()[2]->menu();
    QCOMPARE(help->actions()[0]->text(), QString::fromUtf8("关于 VireloMP3下载器(&A)..."));
    // The view menu hides and shows the toolbar.
    QAction* toolbar = h.frame->menuBar()->actions()[1]->menu()->actions()[0];
    toolbar->trigger();
    QVERIFY(h.frame->GetToolBar()->isHidden());
    toolbar->trigger();
    QVERIFY(!h.frame->GetToolBar()->isHidden());
    // Three rows top to bottom: banners, search bar, toolbar.
    QVERIFY(h.frame->GetBanner(0)->mapTo(h.frame.get(), QPoint()).y() <
            h.frame->GetSearchView()->mapTo(h.frame.get(), QPoint()).y());
    QVERIFY(h.frame->GetSearchView()->mapTo(h.frame.get(), QPoint()).y() <
            h.frame->GetToolBar()->mapTo(h.frame.get(), QPoint()).y());
  }

  void firstActivationSizesTheFrame() {
    UiHome h;
    h.Start();
    QCOMPARE(h.frame->size(), QSize(820, 600));
    QVERIFY(h.frame->GetRightView()->inherits("CDowningList"));
    QVERIFY(h.frame->IsBottomRowShown());
    QVERIFY(h.app->IsListShown());
  }

  void bannersSplitTheWidth() {
    UiHome h;
    h.Start();
    h.frame->resize(801, 600);
    QTRY_COMPARE(h.frame->centralWidget()->width(), 801);
    QCoreApplication::processEvents();
    QCOMPARE(h.frame->GetBanner(0)->geometry(), QRect(0, 0, 400, 50));
    QCOMPARE(h.frame->GetBanner(1)->geometry(), QRect(400, 0, 401, 50));
  }

  void paneOperations() {
    UiHome h;
    h.Start();
    QVERIFY(h.frame->IsBottomRowShown());
    h.frame->HideBottomRow();
    QVERIFY(!h.frame->IsBottomRowShown());
    QVERIFY(h.frame->GetBottomView()->isHidden());
    h.frame->ShowBottomRow();
    QVERIFY(h.frame->IsBottomRowShown());
    QVERIFY(!h.frame->GetBottomView()->isHidden());

    QWidget* before = h.frame->GetRightView();
    QWidget* now = h.frame->ReplaceRightView(kViewSongList);
    QVERIFY(now != before);
    QCOMPARE(h.frame->GetRightView(), now);
    // The song list itself, or an empty pane of that name where it is not built in.
    QVERIFY(now->inherits(kViewSongList) || now->objectName() == QString(kViewSongList));
    auto* inner = h.frame->findChild<QSplitter*>("InnerSplitter");
    QCOMPARE(inner->count(), 2);
    QCOMPARE(inner->widget(1), now);
    h.frame->ReplaceRightView(IBrowseFrame::RightView::DowningList);
    QVERIFY(qobject_cast<CDowningList*>(h.frame->GetRightView()));

    QWidget* bottom = h.frame->GetBottomView();
    h.frame->HideBottomRow();
    h.frame->ReplaceBottomView();
    QVERIFY(h.frame->GetBottomView() != bottom);
    QCOMPARE(h.frame->findChild<QSplitter*>("OuterSplitter")->count(), 2);
    QVERIFY(h.frame->GetBottomView()->isHidden());  // a hidden row stays hidden
  }

  void startAllRequeuesTheFirstTen() {
    UiHome h;
    std::vector<TaskEntry> entries;
    for (const std::string& n : Names("song", 15)) entries.push_back(MakeEntry(n));
    h.WriteTaskList(entries);
    h.Start();
    h.frame->GetCommand(CMainFrame::kCmdStartAll)->trigger();
    const std::vector<std::string> names = Names("song", 15);
    for (int i = 0; i < 10; ++i) QVERIFY2(h.State(names[i]) != "stop", names[i].c_str());
    for (int i = 10; i < 15; ++i) QCOMPARE(h.State(names[i]), std::string("stop"));
  }

  void startAllWithEmptyTableCallsNothing() {
    UiHome h;
    h.Start();
    h.frame->GetCommand(CMainFrame::kCmdStartAll)->trigger();
    QTest::qWait(50);
    // AddTasks with an empty text would have said "歌名不能为空.".
    QVERIFY(h.messages.empty());
  }

  void stopAllFreesEveryActiveSlot() {
    UiHome h;
    // A search that never answers keeps the tasks active.
    vtest::Route slow = vtest::Route::File("<html></html>");
    slow.prefix = true;
    slow.faults.headerDelayMs = 20000;
    h.server.route("/search", slow);
    h.WriteTaskList({MakeEntry("a"), MakeEntry("b"), MakeEntry("c")});
    h.Start();
    h.frame->OnStartAll();
    QTRY_COMPARE_WITH_TIMEOUT(h.app->GetActiveCount(), 3, 5000);
    h.frame->GetCommand(CMainFrame::kCmdStopAll)->trigger();
    QCOMPARE(h.app->GetActiveCount(), 0);
    QCOMPARE(h.app->GetTaskCount(), 3);
  }

  void deleteAllRemovesTasksRowsAndTheirFiles() {
    UiHome h;
    h.WriteTaskList({MakeEntry("a"), MakeEntry("ab")});
    const std::string t = h.home.temp();
    const std::string d = h.home.downloads() + "/";
    for (const char* f : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3.hpt", "ab.wma-0.hpt", "stranger.mp3-0.hpt",
                          "a.mp3.notes"})
      h.Touch(t + f);
    h.Touch(d + "a.mp3.part");
    h.Touch(d + "a.mp3");  // a finished song is not touched
    h.Start();
    auto* list = qobject_cast<CDowningList*>(h.frame->GetRightView());
    QCOMPARE(list->rowCount(), 2);
    h.frame->GetCommand(CMainFrame::kCmdDeleteAll)->trigger();
    QCOMPARE(h.app->GetTaskCount(), 0);
    QCOMPARE(list->rowCount(), 0);
    for (const char* f : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3.hpt", "ab.wma-0.hpt"}) QVERIFY2(!h.Exists(t + f), f);
    QVERIFY(!h.Exists(d + "a.mp3.part"));
    QVERIFY(h.Exists(t + "stranger.mp3-0.hpt"));  // no task of ours
    QVERIFY(h.Exists(t + "a.mp3.notes"));
    QVERIFY(h.Exists(d + "a.mp3"));
  }

  void deleteAllWhileTheSongListIsShownLeavesIt() {
    UiHome h;
    h.WriteTaskList({MakeEntry("a")});
    h.Touch(h.home.temp() + "a.mp3-0.hpt");
    h.Start();
    QWidget* songs = h.frame->ReplaceRightView(kViewSongList);
    h.app->SetViewName(kViewSongList);
    h.frame->OnDeleteAll();
    QCOMPARE(h.app->GetTaskCount(), 0);
    QCOMPARE(h.frame->GetRightView(), songs);
    QVERIFY(!h.Exists(h.home.temp() + "a.mp3-0.hpt"));
  }

  void settingsCommandOpensTheDialog() {
    UiHome h;
    h.Start();
    QString title;
    QWidget* parent = nullptr;
    QWindow* transient = nullptr;
    Qt::WindowModality modality = Qt::NonModal;
    QTimer::singleShot(0, [&] {
      if (auto* dlg = qobject_cast<CSettingsDlg*>(QApplication::activeModalWidget())) {
        title = dlg->windowTitle();
        parent = dlg->parentWidget();
        transient = dlg->windowHandle() ? dlg->windowHandle()->transientParent() : nullptr;
        modality = dlg->windowModality();
        dlg->reject();
      }
    });
    h.frame->GetCommand(CMainFrame::kCmdSettings)->trigger();
    QCOMPARE(title, QString::fromUtf8("下载参数设置"));
    // The window manager keeps it above the frame that opened it, and it
    // still holds every other window while it is up.
    QCOMPARE(parent, static_cast<QWidget*>(h.frame.get()));
    QCOMPARE(transient, h.frame->windowHandle());
    QCOMPARE(modality, Qt::ApplicationModal);
  }

  void upgradeStartsTheUpdater() {
    UiHome h;
    const std::string updater = h.home.home() + "/update";
    vtest::WriteFile(updater, "#!/bin/sh\necho \"$@\" > \"$0.ran\"\n");
    chmod(updater.c_str(), 0755);
    h.Start();
    h.frame->GetCommand(CMainFrame::kCmdUpgrade)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!vtest::ReadFile(updater + ".ran").empty(), 5000);
  }

  void upgradeWithoutUpdaterSaysSo() {
    UiHome h;
    h.Start();
    h.frame->OnUpgrade();
    QTRY_VERIFY(!h.messages.empty());
    QCOMPARE(h.messages.back(), QString::fromUtf8(txt::kUpdaterFailed));
  }

  void closeNeverEndsTheProgram() {
    UiHome h;
    h.Start();
    bool exited = false;
    QObject::connect(h.frame.get(), &CMainFrame::ExitRequested, [&] { exited = true; });
    QVERIFY(!h.frame->close());
    QCoreApplication::processEvents();
    QVERIFY(!exited);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
      QVERIFY(h.frame->isHidden());
      QVERIFY(h.frame->GetTrayIcon()->isVisible());
    } else {
      // No tray to come back from: the window only minimises.
      QVERIFY(h.frame->isMinimized());
      QVERIFY(!h.frame->isHidden());
    }
    h.frame->OnTrayShow();
    QVERIFY(!h.frame->isHidden());
    QVERIFY(!h.frame->isMinimized());
  }

  void trayMenuAndClicks() {
    UiHome h;
    h.Start();
    QMenu* menu = h.frame->GetTrayMenu();
    QCOMPARE(menu->actions().size(), 2);
    QCOMPARE(menu->actions()[0]->text(), QString::fromUtf8("显示主窗口"));
    QCOMPARE(menu->actions()[0]->data().toInt(), 32780);
    QCOMPARE(menu->actions()[1]->text(), QString::fromUtf8("退出"));
    QCOMPARE(menu->actions()[1]->data().toInt(), 32781);
    QCOMPARE(h.frame->GetTrayIcon()->toolTip(),
             QString::fromUtf8("VireloMP3下载器V2.0\n--左点显示主窗口\n--右点显示菜单"));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(h.frame->TrayMenuPosition(), screen.bottomRight());

    // Hidden with the icon up: "显示主窗口" keeps the icon, a left click takes it away.
    h.frame->hide();
    h.frame->GetTrayIcon()->show();
    menu->actions()[0]->trigger();
    QVERIFY(!h.frame->isHidden());
    QVERIFY(h.frame->GetTrayIcon()->isVisible());
    h.frame->hide();
    h.frame->OnTrayLeftClick();
    QVERIFY(!h.frame->isHidden());
    QVERIFY(!h.frame->GetTrayIcon()->isVisible());
  }

  void exitSavesTheListBeforeDeletingTasks() {
    UiHome h;
    // Songs that trickle keep three downloads busy while the exit runs.
    const std::string song = vtest::Mp3Bytes(3 * 1024 * 1024, 7);
    vtest::Route file = vtest::Route::File(song);
    file.faults.rateBytesPerSec = 200 * 1024;
    file.prefix = true;
    h.server.route("/songs/", file);
    std::vector<TaskEntry> entries;
    for (const char* n : {"one", "two", "three"})
      entries.push_back(MakeEntry(n, h.server.url(std::string("/songs/") + n + ".mp3")));
    h.WriteTaskList(entries);
    h.Start();
    bool exited = false;
    QObject::connect(h.frame.get(), &CMainFrame::ExitRequested, [&] { exited = true; });
    h.frame->OnStartAll();
    QTRY_VERIFY_WITH_TIMEOUT(h.server.bodyBytesSent("/songs/") > 100 * 1024, 10000);

    h.frame->GetCommand(CMainFrame::kCmdExit)->trigger();
    QVERIFY(exited);
    QVERIFY(h.frame->isHidden());
    QCOMPARE(h.app->GetTaskCount(), 0);
    const std::string saved = vtest::ReadFile(h.TaskListPath());
    QCOMPARE(saved.size(), 3 * sizeof(TaskEntry));
    for (int i = 0; i < 3; ++i) QCOMPARE(std::string(saved.data() + i * 301), std::string(entries[i].m_szName));
    // Nothing writes the list again, whatever the stopped tasks still do.
    QTest::qWait(300);
    h.app.reset();
    QCOMPARE(vtest::ReadFile(h.TaskListPath()), saved);
  }

  void secondCopyRaisesTheFirst() {
    UiHome h;
    h.Start();
    h.frame->hide();
    const QString name = CMainFrame::RaiseServerName(h.home.home());
    QVERIFY(name.startsWith("virelomp3-"));
    QCOMPARE(name.size(), 10 + 16);
    QVERIFY(name != CMainFrame::RaiseServerName(h.home.home() + "x"));

    // The second copy is refused before it loads anything.
    vtest::WriteFile(h.TaskListPath(), std::string(301, 'z'));
    AppOptions opts;
    opts.bCheckForUpdate = false;
    CDownloaderApp second(opts);
    QVERIFY(second.IsRefused());
    QCOMPARE(second.GetTaskCount(), 0);
    QVERIFY(CMainFrame::AskRunningCopyToRaise(h.home.home(), 2000));
    QTRY_VERIFY(!h.frame->isHidden());
  }

  void messageBoxesShowTheExactText() {
    UiHome h;
    h.Start(false);
    // Raised before any window exists: kept until the frame takes over.
    h.app->ShowMessage(T(txt::kTooManyTasks));
    h.StartFrame();
    QTRY_COMPARE(h.messages.size(), size_t(1));
    QCOMPARE(h.messages[0], QString::fromUtf8("最多只允许100个下载任务."));

    h.frame->GetUiPort()->SetShowBoxes(true);
    h.app->ShowMessage(T(txt::kSongNameEmpty));
    QMessageBox* box = nullptr;
    QTRY_VERIFY((box = [] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) return b;
      return static_cast<QMessageBox*>(nullptr);
    }()) != nullptr);
    QCOMPARE(box->text(), QString::fromUtf8("歌名不能为空."));
    QCOMPARE(box->windowTitle(), QString::fromUtf8("VireloMP3下载器"));
    QCOMPARE(box->buttons().size(), 1);
    QCOMPARE(box->buttons()[0]->text(), QString::fromUtf8("确定"));
    box->buttons()[0]->click();
  }

  // Ten refusals in a row make one box, raised again, not ten; another text
  // gets its own. Every box is modal to the main window only and opened
  // without a modal loop, so the test goes on while they are up.
  void oneBoxOfAKind() {
    auto Q = [](const char* utf8) { return QString::fromUtf8(utf8); };
    UiHome h;
    h.Start();
    // A display name set on the application is appended to every title bar
    // by the window system; each window names itself instead.
    QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    h.frame->GetUiPort()->SetShowBoxes(true);
    for (int i = 0; i < 10; ++i) h.app->ShowMessage(T(txt::kTooManyActive));
    h.app->ShowMessage(T(txt::kSongNameEmpty));
    QTRY_COMPARE(h.messages.size(), size_t(11));
    QCOMPARE(CMessageBoxes::Open().size(), 2);
    QMessageBox* full = CMessageBoxes::Find(Q("最多只允许10个活动任务."));
    QVERIFY(full);
    QCOMPARE(full->windowTitle(), Q("VireloMP3下载器"));
    QCOMPARE(full->windowModality(), Qt::WindowModal);
    QCOMPARE(full->parentWidget(), static_cast<QWidget*>(h.frame.get()));
    QCOMPARE(full->buttons().size(), 1);
    QCOMPARE(full->buttons()[0]->text(), Q("确定"));

    // The tree's question: its own caption, OK and Cancel, answered when
    // the box closes. Asked twice, it is still one box with one answer.
    int answers = 0;
    bool ok = true;
    for (int i = 0; i < 2; ++i)
      BrowseMessageBox(h.frame->GetTreeView(), Q(txt::kFolderNotEmpty), Q("提示"), true, [&](bool yes) {
        ++answers;
        ok = yes;
      });
    QCOMPARE(CMessageBoxes::Open().size(), 3);
    QMessageBox* ask = CMessageBoxes::Find(Q(txt::kFolderNotEmpty));
    QVERIFY(ask);
    QCOMPARE(ask->windowTitle(), Q("提示"));
    QCOMPARE(ask->parentWidget(), static_cast<QWidget*>(h.frame.get()));
    QCOMPARE(ask->button(QMessageBox::Ok)->text(), Q("确定"));
    QCOMPARE(ask->button(QMessageBox::Cancel)->text(), Q("取消"));
    QCOMPARE(answers, 0);
    ask->button(QMessageBox::Cancel)->click();
    QTRY_COMPARE(answers, 1);
    QVERIFY(!ok);

    // Once closed, the same text opens a box again.
    full->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(!CMessageBoxes::Find(Q("最多只允许10个活动任务.")));
    h.app->ShowMessage(T(txt::kTooManyActive));
    QTRY_VERIFY(CMessageBoxes::Find(Q("最多只允许10个活动任务.")));
    QCOMPARE(answers, 1);
  }

  void aboutBoxFromTheHelpMenu() {
    UiHome h;
    h.Start();
    QString title;
    QStringList lines;
    QTimer::singleShot(0, [&] {
      if (QWidget* dlg = QApplication::activeModalWidget()) {
        title = dlg->windowTitle();
        for (QLabel* l : dlg->findChildren<QLabel*>()) lines << l->text();
        dlg->close();
      }
    });
    h.frame->menuBar()->actions()[2]->menu()->actions()[0]->trigger();
    QCOMPARE(title, QString::fromUtf8("关于 VireloMP3下载器"));
    // The licence the package and its metadata state.
    QVERIFY2(lines.join('\n').contains("GPL-3.0-or-later"), qPrintable(lines.join('\n')));
  }

  // Pictures for the documentation: written where VIRELOMP3_SHOTS points,
  // else into the test's own directory, and checked to be real images.
  void screenshots() {
    UiHome h;
    const QByteArray dirEnv = qgetenv("VIRELOMP3_SHOTS");
    const QString dir = dirEnv.isEmpty() ? QString::fromStdString(h.home.root()) : QString::fromLocal8Bit(dirEnv);
    h.Start();
    QTest::qWait(50);
    QImage empty = h.frame->grab().toImage();
    QVERIFY(empty.save(dir + "/main-window-empty.png"));
    QCOMPARE(empty.size(), QSize(820, 600));

    const std::string song = vtest::Mp3Bytes(4 * 1024 * 1024, 3);
    vtest::Route file = vtest::Route::File(song);
    file.prefix = true;
    file.faults.rateBytesPerSec = 150 * 1024;
    h.server.route("/songs/", file);
    std::vector<TaskEntry> entries;
    for (const char* n : {"月亮代表我的心", "甜蜜蜜", "小城故事"})
      entries.push_back(MakeEntry(Utf8ToGbk(n), h.server.url("/songs/x.mp3")));
    h.Stop();
    h.WriteTaskList(entries);
    // The shipped pages and banners, where the set-up has made them.
    std::error_code ec;
    const std::filesystem::path res = std::filesystem::path(VIRELOMP3_SOURCE_DIR) / "res";
    // The pages are kept as UTF-8 source and installed as GBK.
    std::filesystem::create_directory(std::filesystem::path(h.home.home()) / "html", ec);
    for (const auto& page : std::filesystem::directory_iterator(res / "html", ec))
      vtest::WriteFile(h.home.home() + "/html/" + page.path().filename().string(),
                       Utf8ToGbk(vtest::ReadFile(page.path().string())));
    const QByteArray banners = qgetenv("VIRELOMP3_SHOT_BANNERS");  // made by res/banners/make-banners
    if (!banners.isEmpty()) {
      std::filesystem::copy(banners.toStdString(), std::filesystem::path(h.home.home()) / "banners",
                            std::filesystem::copy_options::recursive, ec);
      std::filesystem::copy_file(res / "Movie.ini", std::filesystem::path(h.home.home()) / "Movie.ini", ec);
    }
    h.Start();
    h.frame->OnStartAll();
    auto* list = qobject_cast<CDowningList*>(h.frame->GetRightView());
    QTRY_VERIFY_WITH_TIMEOUT(!list->CellText(2, 3).empty() && list->CellText(2, 3) != "0%", 15000);
    QTest::qWait(1200);
    QVERIFY(h.frame->grab().save(dir + "/main-window-downloading.png"));

    CSettingsDlg dlg;
    dlg.show();
    QVERIFY(dlg.grab().save(dir + "/settings-dialog.png"));

    // A refused confirmation: the box over the dialog, drawn together.
    dlg.ThreadsCombo()->setEditText("9");
    dlg.ConfirmButton()->click();
    QMessageBox* box = CMessageBoxes::Find(QString::fromUtf8(txt::kBlocksOutOfRange));
    QVERIFY(box);
    QTest::qWait(50);
    QImage both = dlg.grab().toImage();
    QPainter painter(&both);
    const QPixmap boxShot = box->grab();
    const QRect at(QPoint((both.width() - boxShot.width()) / 2, (both.height() - boxShot.height()) / 2),
                   boxShot.size());
    painter.drawPixmap(at.topLeft(), boxShot);
    // Offscreen windows have no frame of their own.
    painter.setPen(Qt::darkGray);
    painter.drawRect(at.adjusted(0, 0, -1, -1));
    painter.end();
    QVERIFY(both.save(dir + "/settings-refused.png"));
  }
};

QTEST_MAIN(MainFrameTest)
#include "MainFrameTest.moc"
