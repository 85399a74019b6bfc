// The details window of a task: opened from the download list, its
// candidates and blocks refreshed from the core, and the restart on another
// link from the keyboard.
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include "res/Texts.h"
#include "tests/support/SongMaker.h"
#include "task/DownloadTask.h"
#include "tests/ui/UiTestHome.h"
#include "ui/DowningList.h"
#include "ui/TaskDetailsDlg.h"

using uitest::UiHome;

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

CDowningList* ListOf(UiHome& h) { return qobject_cast<CDowningList*>(h.frame->GetRightView()); }

QPoint CellCenter(QTableWidget* t, int row, int column = 0) {
  return t->visualRect(t->model()->index(row, column)).center();
}

CTaskDetailsDlg* OpenDialog(UiHome& h) {
  const QList<CTaskDetailsDlg*> open = h.frame->findChildren<CTaskDetailsDlg*>();
  return open.size() == 1 ? open.front() : nullptr;
}

QString Cell(QTableWidget* t, int row, int col) {
  QTableWidgetItem* item = t->item(row, col);
  return item ? item->text() : QString();
}

// A song on the scripted server: a small file refused by the size limits,
// a slow one taken first (no speed check) and a quick one left for the user.
struct Songs {
  std::string slow = vtest::Mp3Bytes(1300000, 7);
  std::string quick = vtest::Mp3Bytes(1200000, 8);
};

void Serve(UiHome& h, const Songs& s) {
  vtest::Route page = vtest::Route::File("<html><a href=\"" + h.server.url("/tiny.mp3") + "\">1</a><a href=\"" +
                                         h.server.url("/slow.mp3") + "\">2</a><a href=\"" + h.server.url("/quick.mp3") +
                                         "\">3</a></html>");
  page.contentType = "text/html";
  h.server.route("/search?k=song", page);
  h.server.route("/tiny.mp3", vtest::Route::File("tiny"));
  vtest::Route slow = vtest::Route::File(s.slow);
  slow.faults.rateBytesPerSec = 60000;
  slow.contentType = "audio/mpeg";
  h.server.route("/slow.mp3", slow);
  h.server.route("/quick.mp3", vtest::Route::File(s.quick));
}

}  // namespace

class TaskDetailsDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void menuHasTheDetailsItemFourth() {
    UiHome h;
    h.WriteTaskList({uitest::MakeEntry("a")});
    h.Start();
    CDowningList* list = ListOf(h);
    QVERIFY(list);
    QStringList texts;
    QObject::connect(list, &CDowningList::ContextMenuOpening, [&] {
      QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        QAction* details = nullptr;
        for (QAction* a : menu->actions()) {
          texts << a->text();
          if (a->data().toInt() == CDowningList::kCmdDetails) details = a;
        }
        menu->close();
        if (details) details->trigger();
      });
    });
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, CellCenter(list, 0));
    QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, CellCenter(list, 0));
    QTRY_COMPARE(texts, (QStringList{Q("开始下载"), Q("停止下载"), Q("删除下载"), Q("下载详情")}));
    QTRY_VERIFY(OpenDialog(h));
    CTaskDetailsDlg* dlg = OpenDialog(h);
    QCOMPARE(dlg->windowTitle(), Q("下载详情 - a"));
    QCOMPARE(dlg->Candidates()->rowCount(), 0);  // nothing searched since the start
    QCOMPARE(dlg->ReasonLabel()->text(), Q("还没有搜索结果."));
    QVERIFY(!dlg->UseLinkButton()->isEnabled());
    QCOMPARE(dlg->UseLinkButton()->text(), Q("使用此链接下载"));
    // A second request raises the same window.
    list->OnDetails(0);
    QCOMPARE(h.frame->findChildren<CTaskDetailsDlg*>().size(), 1);
  }

  void showsCandidatesAndBlocksAndRestartsOnAPickedLink() {
    UiHome h;
    Songs songs;
    Serve(h, songs);
    h.Start();
    CDowningList* list = ListOf(h);
    h.app->AddTasks("song");
    QTRY_VERIFY_WITH_TIMEOUT(list->FindListRow("song") >= 0 || (list->RefreshList(), false), 10000);
    const QPoint at = CellCenter(list, list->FindListRow("song"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    QTRY_VERIFY(OpenDialog(h));
    CTaskDetailsDlg* dlg = OpenDialog(h);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    QTableWidget* cand = dlg->Candidates();
    QTableWidget* blocks = dlg->Blocks();

    // Refreshed by its own timer: the chosen link first, then the one not
    // probed, then the refused one.
    QTRY_VERIFY_WITH_TIMEOUT(cand->rowCount() == 3 && blocks->rowCount() == 2, 20000);
    QCOMPARE(Cell(cand, 0, 6), Q("已选用"));
    QVERIFY(cand->item(0, 6)->font().bold());
    QCOMPARE(Cell(cand, 0, 1), QString::fromStdString(h.server.hostPort() + "/slow.mp3"));
    QCOMPARE(Cell(cand, 1, 1), QString::fromStdString(h.server.hostPort() + "/quick.mp3"));
    QCOMPARE(Cell(cand, 0, 2), Q("1,269KB"));
    QCOMPARE(Cell(cand, 0, 4), Q("支持"));
    QCOMPARE(Cell(cand, 0, 5), Q("audio/mpeg"));
    QCOMPARE(cand->item(0, 0)->toolTip(), QString::fromStdString(h.server.url("/slow.mp3")));
    QCOMPARE(Cell(cand, 1, 6), Q("未探测"));
    QCOMPARE(Cell(cand, 1, 3), QString());
    QVERIFY(!cand->item(1, 6)->font().bold());
    QCOMPARE(Cell(cand, 2, 6), Q("大小不在限制范围内"));
    QCOMPARE(dlg->ReasonLabel()->text(), Q("选用原因: 未测速"));
    QCOMPARE(Cell(blocks, 0, 1), Q("0-649999"));
    QCOMPARE(Cell(blocks, 1, 1), Q("650000-1299999"));
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<QProgressBar*>(blocks->cellWidget(0, 3))->value() > 0, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(Cell(blocks, 0, 4).endsWith("KB/S"), 20000);

    const QByteArray shots = qgetenv("VIRELOMP3_SHOTS");
    const QString dir = shots.isEmpty() ? QString::fromStdString(h.home.root()) : QString::fromLocal8Bit(shots);
    QVERIFY(dlg->grab().save(dir + "/task-details.png"));

    // From the keyboard: down to the quick link, Enter restarts on it.
    QVERIFY(!dlg->UseLinkButton()->isEnabled());
    cand->setFocus();
    QTest::keyClick(cand, Qt::Key_Home);
    QTest::keyClick(cand, Qt::Key_Down);
    QTRY_VERIFY(dlg->UseLinkButton()->isEnabled());
    QCOMPARE(cand->item(cand->currentRow(), 0)->toolTip(), QString::fromStdString(h.server.url("/quick.mp3")));
    QTest::keyClick(cand, Qt::Key_Return);
    // The quick link downloads the whole song; the task leaves the table.
    QTRY_VERIFY_WITH_TIMEOUT(h.app->GetTaskCount() == 0, 30000);
    QCOMPARE(vtest::ReadFile(h.home.downloads() + "/song.mp3"), songs.quick);
    // The window ends well: the candidates and blocks it ended with, and
    // where the song went.
    const QString saved = QString::fromStdString(h.home.downloads() + "/song.mp3");
    QTRY_COMPARE(dlg->ReasonLabel()->text(), Q("下载完成: ") + saved);
    QCOMPARE(cand->rowCount(), 3);
    QCOMPARE(cand->item(0, 0)->toolTip(), QString::fromStdString(h.server.url("/quick.mp3")));
    QCOMPARE(Cell(cand, 0, 6), Q("已选用"));
    QCOMPARE(blocks->rowCount(), 2);
    for (int row = 0; row < 2; ++row) {
      QCOMPARE(qobject_cast<QProgressBar*>(blocks->cellWidget(row, 3))->value(), 1000);
      QCOMPARE(Cell(blocks, row, 4), QString());
    }
    QCOMPARE(Cell(blocks, 1, 1), Q("600000-1199999"));
    QTest::qWait(2 * CTaskDetailsDlg::kRefreshMs);  // later refreshes keep it so
    QCOMPARE(dlg->ReasonLabel()->text(), Q("下载完成: ") + saved);
    QCOMPARE(cand->rowCount(), 3);
    QVERIFY(dlg->grab().save(dir + "/task-details-finished.png"));
  }

  // A task from an earlier run goes to its stored address unprobed: its
  // row still says the song's size, how long the server took to answer
  // and that it comes in ranges, and a name the server percent-encoded
  // reads as itself.
  void storedAddressRowIsFilledFromItsJob() {
    UiHome h;
    vtest::Route song = vtest::Route::File(vtest::Mp3Bytes(1300000, 9));
    song.faults.rateBytesPerSec = 100000;
    // Every answer, the job's first (the file's size) too, keeps it waiting.
    song.faults.headerDelayMs = 300;
    h.server.route("/songs/%E6%AD%8C.mp3", song);
    h.WriteTaskList({uitest::MakeEntry("song", h.server.url("/songs/%E6%AD%8C.mp3"))});
    h.Start();
    h.app->AddTasks("song");
    CTaskDetailsDlg* dlg = CTaskDetailsDlg::Open(*h.app, "song", h.frame.get());
    QTableWidget* cand = dlg->Candidates();
    QTRY_VERIFY_WITH_TIMEOUT(cand->rowCount() == 1 && dlg->Blocks()->rowCount() == 2, 20000);
    QCOMPARE(Cell(cand, 0, 1), QString::fromStdString(h.server.hostPort()) + Q("/songs/歌.mp3"));
    QCOMPARE(Cell(cand, 0, 6), Q("已选用"));
    QCOMPARE(Cell(cand, 0, 2), Q("1,269KB"));
    QCOMPARE(Cell(cand, 0, 4), Q("支持"));
    bool number = false;
    QTRY_VERIFY(Cell(cand, 0, 3).toInt(&number) >= 300 && number);
    if (const QByteArray shots = qgetenv("VIRELOMP3_SHOTS"); !shots.isEmpty())
      QVERIFY(dlg->grab().save(QString::fromLocal8Bit(shots) + "/task-details-stored-address.png"));
    QCOMPARE(dlg->ReasonLabel()->text(), Q("选用原因: 已保存的地址"));
  }

  // A task that gave up says why, with its candidates still listed.
  void givenUpTaskShowsItsFailure() {
    UiHome h;
    vtest::Route page = vtest::Route::File("<html><a href=\"" + h.server.url("/gone.mp3") + "\">1</a></html>");
    h.server.route("/search?k=gone", page);
    h.server.route("/gone.mp3", vtest::Route::Raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
    h.Start();
    h.app->AddTasks("gone");
    CTaskDetailsDlg* dlg = CTaskDetailsDlg::Open(*h.app, "gone", h.frame.get());
    TaskEntry e{};
    QTRY_VERIFY_WITH_TIMEOUT(h.app->ReadEntry("gone", e) && IsFailedEntry(e), 30000);
    // The window's next refresh says why, in the task's own words.
    QTRY_VERIFY(dlg->ReasonLabel()->text().contains(Q("失败")));
    QCOMPARE(dlg->Candidates()->rowCount(), 1);
  }
};

QTEST_MAIN(TaskDetailsDlgTest)
#include "TaskDetailsDlgTest.moc"
