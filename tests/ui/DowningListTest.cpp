// The download list: columns, filling from the task table, the right-button
// rules, the three commands, the task files they clean up, and the live
// writes that arrive from worker threads.
#include <QHeaderView>
#include <QMenu>
#include <QTimer>
#include <QThread>
#include <thread>

#include "res/Texts.h"
#include "task/DownloadTask.h"
#include "tests/support/SongMaker.h"
#include "tests/ui/UiTestHome.h"
#include "ui/DowningList.h"

using uitest::MakeEntry;
using uitest::Names;
using uitest::UiHome;

namespace {

CDowningList* ListOf(UiHome& h) { return qobject_cast<CDowningList*>(h.frame->GetRightView()); }

QPoint CellCenter(CDowningList* list, int row, int column = 0) {
  return list->visualRect(list->model()->index(row, column)).center();
}

std::vector<int> SelectedRows(CDowningList* list) {
  std::vector<int> rows;
  for (int r = 0; r < list->rowCount(); ++r)
    if (list->selectionModel()->isRowSelected(r, QModelIndex())) rows.push_back(r);
  return rows;
}

// Presses and releases the right button; returns whether the menu opened.
// `pick` is the command to choose from it, 0 for none.
bool RightClick(CDowningList* list, QPoint press, QPoint release, int pick = 0) {
  bool opened = false;
  auto conn = QObject::connect(list, &CDowningList::ContextMenuOpening, [&] {
    opened = true;
    QTimer::singleShot(0, [pick] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu) return;
      QAction* chosen = nullptr;
      for (QAction* a : menu->actions())
        if (a->data().toInt() == pick) chosen = a;
      menu->close();
      if (chosen) chosen->trigger();
    });
  });
  QTest::mousePress(list->viewport(), Qt::RightButton, {}, press);
  QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, release);
  QObject::disconnect(conn);
  return opened;
}

}  // namespace

class DowningListTest : public QObject {
  Q_OBJECT

 private slots:
  void elevenColumns() {
    UiHome h;
    h.Start();
    CDowningList* list = ListOf(h);
    QCOMPARE(list->columnCount(), 11);
    const char* headers[] = {"名称", "大小", "完成数", "百分比", "用时", "剩时", "速度", "URL", "块数", "状态", "重试"};
    const int widths[] = {90, 60, 60, 50, 50, 50, 50, 150, 50, 50, 50};
    const bool right[] = {false, true, true, true, true, true, true, false, true, false, true};
    for (int c = 0; c < 11; ++c) {
      QCOMPARE(list->horizontalHeaderItem(c)->text(), QString::fromUtf8(headers[c]));
      QCOMPARE(list->columnWidth(c), widths[c]);
      const int align = list->horizontalHeaderItem(c)->textAlignment();
      QCOMPARE(bool(align & Qt::AlignRight), right[c]);
    }
    QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
  }

  void fillFromSlotsThreeAndSeven() {
    UiHome h;
    std::vector<TaskEntry> entries;
    for (const std::string& n : Names("s", 8)) entries.push_back(MakeEntry(n));
    SetEntryText(entries[3].m_szAddress, "http://127.0.0.1:1/s4.mp3");
    SetEntryText(entries[3].m_szSize, "2,048KB");
    SetEntryText(entries[7].m_szPercent, "42%");
    h.WriteTaskList(entries);
    h.Start();
    for (int i : {0, 1, 2, 4, 5, 6}) h.app->RemoveTask(entries[i].m_szName);
    CDowningList* list = ListOf(h);
    list->RefreshList();
    QCOMPARE(list->rowCount(), 2);
    QCOMPARE(list->CellText(0, 0), std::string("s4"));
    QCOMPARE(list->CellText(1, 0), std::string("s8"));
    QCOMPARE(list->CellText(0, 7), std::string("http://127.0.0.1:1/s4.mp3"));
    QCOMPARE(list->CellText(0, 1), std::string("2,048KB"));
    QCOMPARE(list->CellText(1, 3), std::string("42%"));
    QCOMPARE(list->CellText(1, 9), std::string("stop"));
    QCOMPARE(list->CellText(1, 8), std::string("2"));
    QCOMPARE(list->FindListRow("s8"), 1);
    QCOMPARE(list->FindListRow("s1"), -1);
  }

  void gbkNamesAreKeysAndShowAsChinese() {
    UiHome h;
    const std::string name = Utf8ToGbk("月亮代表我的心");
    h.WriteTaskList({MakeEntry(name)});
    h.Start();
    CDowningList* list = ListOf(h);
    QCOMPARE(list->FindListRow(name), 0);
    QCOMPARE(list->item(0, 0)->text(), QString::fromUtf8("月亮代表我的心"));
  }

  void rightButtonRules() {
    UiHome h;
    h.WriteTaskList({MakeEntry("a"), MakeEntry("b"), MakeEntry("c")});
    h.Start();
    CDowningList* list = ListOf(h);
    list->selectRow(1);
    const QPoint below(10, list->visualRect(list->model()->index(2, 0)).bottom() + 30);

    // Empty space below the rows: selection untouched, no menu.
    QVERIFY(!RightClick(list, below, below));
    QCOMPARE(SelectedRows(list), std::vector<int>{1});
    QCOMPARE(list->RightClickItem(), -1);

    // Pressed on one row, released on another: no menu.
    QVERIFY(!RightClick(list, CellCenter(list, 0), CellCenter(list, 2)));
    QCOMPARE(SelectedRows(list), std::vector<int>{0});  // the press still selected row 0

    // Press and release on an unselected row: it alone is selected.
    QVERIFY(RightClick(list, CellCenter(list, 2, 4), CellCenter(list, 2, 4)));
    QCOMPARE(SelectedRows(list), std::vector<int>{2});
    QCOMPARE(list->RightClickItem(), 2);
  }

  void rightClickKeepsMultipleSelectionAndActsOnAll() {
    UiHome h;
    vtest::Route slow = vtest::Route::File("<html></html>");
    slow.prefix = true;
    slow.faults.headerDelayMs = 20000;
    h.server.route("/search", slow);
    h.WriteTaskList({MakeEntry("a"), MakeEntry("b"), MakeEntry("c")});
    h.Start();
    h.app->AddTasks("a;b;c");
    QTRY_COMPARE_WITH_TIMEOUT(h.app->GetActiveCount(), 3, 5000);
    CDowningList* list = ListOf(h);
    list->selectRow(0);
    list->selectionModel()->select(list->model()->index(2, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QVERIFY(RightClick(list, CellCenter(list, 2), CellCenter(list, 2), CDowningList::kCmdStop));
    QCOMPARE(SelectedRows(list), (std::vector<int>{0, 2}));
    // "停止下载" stopped a and c; the rows stay.
    QCOMPARE(h.app->GetActiveNames(), std::vector<std::string>{"b"});
    QCOMPARE(list->rowCount(), 3);
  }

  void startingTwelveRowsStartsTen() {
    UiHome h;
    std::vector<TaskEntry> entries;
    const std::vector<std::string> names = Names("t", 12);
    for (const std::string& n : names) entries.push_back(MakeEntry(n));
    h.WriteTaskList(entries);
    h.Start();
    CDowningList* list = ListOf(h);
    list->selectAll();
    list->OnStart();
    for (int i = 0; i < 10; ++i) QVERIFY2(h.State(names[i]) != "stop", names[i].c_str());
    QCOMPARE(h.State(names[10]), std::string("stop"));
    QCOMPARE(h.State(names[11]), std::string("stop"));
    QCOMPARE(list->rowCount(), 12);  // not refilled
  }

  // Ten tasks whose search finds nothing: each gives its slot up and keeps
  // its row with the reason, the next task starts without "最多只允许10个
  // 活动任务.", and "开始下载" on a failed row searches again.
  void failedTasksFreeTheirSlots() {
    UiHome h;
    h.Start();
    auto failed = [&h](const std::string& name) {
      TaskEntry e{};
      return h.app->ReadEntry(name, e) && IsFailedEntry(e);
    };
    const std::vector<std::string> names = Names("f", 10);
    h.app->AddTasks(uitest::Join(names));
    for (const std::string& n : names) QTRY_VERIFY_WITH_TIMEOUT(failed(n), 20000);
    h.app->AddTasks("late");
    QTRY_VERIFY_WITH_TIMEOUT(failed("late"), 20000);
    QTRY_COMPARE(h.app->GetActiveCount(), 0);
    QCoreApplication::processEvents();
    for (const QString& m : h.messages) QVERIFY(m != QString::fromUtf8(txt::kTooManyActive));

    CDowningList* list = ListOf(h);
    list->RefreshList();
    QCOMPARE(list->rowCount(), 11);
    const int row = list->FindListRow("f3");
    QVERIFY(list->CellText(row, 7).rfind(T(txt::kSearchFailed), 0) == 0);
    QCOMPARE(list->CellText(row, 10), T(txt::kFailedMark));
    QCOMPARE(list->CellText(row, 6), std::string());
    const QByteArray shots = qgetenv("VIRELOMP3_SHOTS");
    if (!shots.isEmpty()) QVERIFY(h.frame->grab().save(QString::fromLocal8Bit(shots) + "/failed-tasks.png"));

    auto searches = [&h] {
      int n = 0;
      for (const vtest::Request& r : h.server.requests()) n += r.target.find("k=f3") != std::string::npos;
      return n;
    };
    const int before = searches();
    list->clearSelection();
    list->selectRow(row);
    list->OnStart();
    QTRY_VERIFY_WITH_TIMEOUT(searches() > before, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(failed("f3"), 20000);
    QTRY_COMPARE(h.app->GetActiveCount(), 0);
  }

  void deleteRemovesRowsTasksAndOnlyTheirFiles() {
    UiHome h;
    // "a*" must not act as a pattern, and "ab" shares a's prefix.
    h.WriteTaskList({MakeEntry("a"), MakeEntry("ab"), MakeEntry("a*"), MakeEntry("..")});
    const std::string t = h.home.temp();
    for (const char* f : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3.hpt", "ab.mp3-0.hpt", "ab.mp3.hpt", "a*.mp3-0.hpt",
                          "a.b.mp3-0.hpt", "a.mp3-x.hpt"})
      h.Touch(t + f);
    h.Touch(h.home.downloads() + "/a.mp3.part");
    h.Touch(h.home.downloads() + "/ab.mp3.part");
    h.Start();
    CDowningList* list = ListOf(h);
    list->selectRow(0);
    list->selectionModel()->select(list->model()->index(2, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    list->selectionModel()->select(list->model()->index(3, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    list->OnDelete();
    QCOMPARE(list->rowCount(), 1);
    QCOMPARE(list->CellText(0, 0), std::string("ab"));
    QCOMPARE(h.TaskNames(), std::vector<std::string>{"ab"});
    for (const char* f : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3.hpt", "a*.mp3-0.hpt"}) QVERIFY2(!h.Exists(t + f), f);
    QVERIFY(!h.Exists(h.home.downloads() + "/a.mp3.part"));
    for (const char* f : {"ab.mp3-0.hpt", "ab.mp3.hpt", "a.b.mp3-0.hpt", "a.mp3-x.hpt"}) QVERIFY2(h.Exists(t + f), f);
    QVERIFY(h.Exists(h.home.downloads() + "/ab.mp3.part"));
  }

  void portCoalescesWritesAndDeletesByName() {
    UiHome h;
    h.WriteTaskList({MakeEntry("a"), MakeEntry("b")});
    h.Start();
    CDowningList* list = ListOf(h);
    CQtUiPort* port = h.frame->GetUiPort();
    std::thread worker([port] {
      for (int i = 0; i <= 100; ++i) port->SetListText("a", 3, std::to_string(i) + "%");
      port->SetListText("nobody", 3, "1%");
      port->SetListText("b", 7, "x");
      port->DeleteListRow("b");
      port->SetListText("b", 7, "late");
    });
    worker.join();
    QTRY_COMPARE(list->CellText(0, 3), std::string("100%"));
    QCOMPARE(list->rowCount(), 1);
    QCOMPARE(list->FindListRow("b"), -1);
  }

  void nothingIsWrittenWhileTheListIsNotOnScreen() {
    UiHome h;
    h.WriteTaskList({MakeEntry("a")});
    h.Start();
    CDowningList* list = ListOf(h);
    h.app->SetViewName(kViewSongList);
    h.frame->GetUiPort()->SetListText("a", 3, "50%");
    h.frame->GetUiPort()->DeleteListRow("a");
    QTest::qWait(50);
    QCOMPARE(list->CellText(0, 3), std::string());
    QCOMPARE(list->rowCount(), 1);
  }

  void messagesFromWorkersReachTheUiThread() {
    UiHome h;
    h.Start();
    QThread* uiThread = QThread::currentThread();
    QThread* shownOn = nullptr;
    QObject::connect(h.frame->GetUiPort(), &CQtUiPort::MessageShown,
                     [&](const QString&, const QString&) { shownOn = QThread::currentThread(); });
    std::thread worker([&] { h.app->ShowMessage(T(txt::kTooManyActive)); });
    worker.join();
    QTRY_VERIFY(!h.messages.empty());
    QCOMPARE(h.messages.back(), QString::fromUtf8("最多只允许10个活动任务."));
    QCOMPARE(shownOn, uiThread);
  }

  // A real download from the scripted server: progress reaches the row
  // while the list is shown; with the song list shown nothing is written.
  void liveProgressFromARealDownload() {
    UiHome h;
    const std::string song = vtest::Mp3Bytes(2 * 1024 * 1024 + 5, 11);
    vtest::Route file = vtest::Route::File(song);
    file.prefix = true;
    file.faults.rateBytesPerSec = 256 * 1024;
    h.server.route("/songs/", file);
    h.WriteTaskList({MakeEntry("live", h.server.url("/songs/live.mp3")),
                     MakeEntry("hidden", h.server.url("/songs/hidden.mp3"))});
    h.Start();
    CDowningList* list = ListOf(h);

    // The song list is shown (the list widget stays, as if being replaced).
    h.app->SetViewName(kViewSongList);
    const int hidden = list->FindListRow("hidden");
    h.app->AddTasks("hidden");
    QTRY_VERIFY_WITH_TIMEOUT(h.server.bodyBytesSent("/songs/") > 300 * 1024, 15000);
    QCoreApplication::processEvents();
    QCOMPARE(list->CellText(hidden, 1), std::string());
    QCOMPARE(list->CellText(hidden, 3), std::string());
    QCOMPARE(list->CellText(hidden, 7), std::string(h.server.url("/songs/hidden.mp3")));
    h.app->StopTask("hidden");

    h.app->SetViewName(kViewDowningList);
    const int live = list->FindListRow("live");
    h.app->AddTasks("live");
    QTRY_VERIFY_WITH_TIMEOUT(list->CellText(live, 1) == "2,048KB", 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!list->CellText(live, 3).empty() && list->CellText(live, 3) != "0%", 10000);
    QCOMPARE(list->CellText(live, 9), std::string("stop"));  // states change only on a new fill
    // Finished: the row goes, the song is whole.
    QTRY_VERIFY_WITH_TIMEOUT(list->FindListRow("live") == -1, 30000);
    QCOMPARE(vtest::ReadFile(h.home.downloads() + "/live.mp3"), song);
    QCOMPARE(list->rowCount(), 1);
  }
};

QTEST_MAIN(DowningListTest)
#include "DowningListTest.moc"
