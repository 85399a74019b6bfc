#include <QtTest>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "res/Texts.h"
#include "tests/ui/BrowseFakes.h"
#include "ui/SongList.h"
#include "ui/SystemOpener.h"

namespace fs = std::filesystem;

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

void Touch(const std::string& path, size_t bytes) {
  std::ofstream out(path, std::ios::binary);
  out << std::string(bytes, 'm');
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string PercentPath(const std::string& path) {
  return QByteArray::fromStdString(path).toPercentEncoding("/").toStdString();
}

}  // namespace

class SongListTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<vtest::TempHome> m_home;
  std::unique_ptr<HookRecorder> m_hooks;
  std::unique_ptr<CSongList> m_list;

  std::string Dl(const std::string& rel) const { return m_home->downloads() + "/" + rel; }
  void Load() {
    m_list = std::make_unique<CSongList>();
    m_list->resize(400, 300);
    m_list->show();
    m_list->LoadFolder(m_home->downloads());
  }
  QTreeWidgetItem* Row(const QString& name) const {
    for (int i = 0; i < m_list->topLevelItemCount(); ++i)
      if (m_list->topLevelItem(i)->text(0) == name) return m_list->topLevelItem(i);
    return nullptr;
  }
  QPoint RowPoint(QTreeWidgetItem* row) const { return m_list->visualItemRect(row).center(); }
  void Select(std::initializer_list<const char*> names) {
    m_list->clearSelection();
    for (const char* n : names) Row(Q(n))->setSelected(true);
  }

 private slots:
  void init() {
    m_home = std::make_unique<vtest::TempHome>();
    m_hooks = std::make_unique<HookRecorder>();
  }
  void cleanup() {
    m_list.reset();
    m_hooks.reset();
    m_home.reset();
  }

  void columnsAndExtensions() {
    Touch(Dl("SONG.MP3"), 1536000);
    Touch(Dl("song.Mp3"), 1023);
    Touch(Dl("a.rm"), 0);
    Touch(Dl("clip.swf"), 2048);
    Touch(Dl("歌曲.wma"), 4096);
    for (const char* skipped : {"song.mp3.txt", "readme", "song.ogg"}) Touch(Dl(skipped), 10);
    fs::create_directories(Dl("folder.mp3"));
    Load();
    QCOMPARE(m_list->columnCount(), 2);
    QCOMPARE(m_list->headerItem()->text(0), Q("文件名"));
    QCOMPARE(m_list->headerItem()->text(1), Q("大小"));
    QCOMPARE(m_list->columnWidth(0), 200);
    QCOMPARE(m_list->columnWidth(1), 80);

    QStringList names;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) names << m_list->topLevelItem(i)->text(0);
    names.sort();
    QStringList expected({"SONG.MP3", "a.rm", "clip.swf", "song.Mp3", Q("歌曲.wma")});
    expected.sort();
    QCOMPARE(names, expected);
    QCOMPARE(Row("SONG.MP3")->text(1), QString("1,500KB"));
    QCOMPARE(Row("song.Mp3")->text(1), QString("0KB"));
    QCOMPARE(Row("clip.swf")->text(1), QString("2KB"));
    QVERIFY(Row("SONG.MP3")->textAlignment(1) & Qt::AlignRight);
    QCOMPARE(m_list->RowFileName(m_list->indexOfTopLevelItem(Row(Q("歌曲.wma")))), std::string("歌曲.wma"));

    // Loading another folder replaces the rows; a missing one leaves none.
    m_list->LoadFolder(Dl("nowhere"));
    QCOMPARE(m_list->topLevelItemCount(), 0);
    QCOMPARE(m_list->Folder(), Dl("nowhere"));
  }

  void playOneSongOnly() {
    Touch(Dl("a.mp3"), 10);
    Touch(Dl("b.mp3"), 10);
    Load();
    Select({"a.mp3", "b.mp3"});
    m_list->OnPlay();
    QCOMPARE(m_hooks->boxes.size(), size_t{1});
    QCOMPARE(m_hooks->boxes[0].text, Q("抱歉!暂时只能一次放一首歌."));
    QVERIFY(m_hooks->opened.empty());

    // Double-clicking one of the selected rows still plays it.
    emit m_list->itemDoubleClicked(Row("b.mp3"), 0);
    QCOMPARE(m_hooks->opened.size(), size_t{1});
    QCOMPARE(m_hooks->boxes.size(), size_t{1});
    QCOMPARE(m_hooks->opened[0], QUrl::fromLocalFile(QString::fromStdString(Dl("b.mp3"))));

    Select({"a.mp3"});
    m_list->OnPlay();
    QCOMPARE(m_hooks->opened.size(), size_t{2});
    QCOMPARE(m_hooks->opened[1], QUrl::fromLocalFile(QString::fromStdString(Dl("a.mp3"))));

    m_list->clearSelection();
    m_list->OnPlay();
    QCOMPARE(m_hooks->opened.size(), size_t{2});
    QCOMPARE(m_hooks->boxes.size(), size_t{1});

    // And with the mouse: press, release, double-click on a row.
    QTest::mouseClick(m_list->viewport(), Qt::LeftButton, {}, RowPoint(Row("b.mp3")));
    QTest::mouseDClick(m_list->viewport(), Qt::LeftButton, {}, RowPoint(Row("b.mp3")));
    QCOMPARE(m_hooks->opened.size(), size_t{3});
  }

  void deleteSelectedRowsAndFiles() {
    for (const char* n : {"1.mp3", "2.mp3", "3.mp3", "4.mp3"}) Touch(Dl(n), 5);
    Load();
    Select({"1.mp3", "3.mp3", "4.mp3"});
    m_list->OnDelete();
    QVERIFY(m_hooks->boxes.empty());
    QCOMPARE(m_list->topLevelItemCount(), 1);
    QCOMPARE(m_list->topLevelItem(0)->text(0), QString("2.mp3"));
    QVERIFY(fs::exists(Dl("2.mp3")));
    // No question, but nothing lost: the songs wait in the user's trash.
    for (const char* n : {"1.mp3", "3.mp3", "4.mp3"}) {
      QVERIFY(!fs::exists(Dl(n)));
      QVERIFY(fs::exists(m_home->data() + "/Trash/files/" + n));
      QVERIFY(fs::exists(m_home->data() + "/Trash/info/" + n + ".trashinfo"));
    }
  }

  // A song that can be neither trashed nor deleted keeps its row and is
  // named; the others of the selection still go.
  void deleteThatFailsKeepsTheRowAndSaysSo() {
    for (const char* n : {"a.mp3", "b.mp3"}) Touch(Dl(n), 5);
    Load();
    fs::remove(Dl("b.mp3"));
    fs::create_directories(Dl("b.mp3/inside"));  // a folder took its place
    Select({"a.mp3", "b.mp3"});
    m_list->OnDelete();
    QCOMPARE(m_list->topLevelItemCount(), 1);
    QCOMPARE(m_list->topLevelItem(0)->text(0), QString("b.mp3"));
    QVERIFY(!fs::exists(Dl("a.mp3")));
    QVERIFY(fs::exists(Dl("b.mp3/inside")));
    QCOMPARE(m_hooks->boxes.size(), size_t{1});
    QCOMPARE(m_hooks->boxes[0].text, Q("删除文件时出错: b.mp3"));
  }

  // Names from an old GBK disk, and bytes that are no text at all: shown
  // readably, and every command reaches the very file on disk.
  void namesThatAreNotUtf8() {
    const std::string gbk = "\xB8\xE8.mp3";  // "歌.mp3" in GBK
    const std::string junk = "\xFF\xFEz.mp3";   // neither UTF-8 nor GBK
    Touch(Dl(gbk), 5);
    Touch(Dl(junk), 6);
    Touch(Dl("keep.mp3"), 7);
    Load();
    QVERIFY(Row(Q("歌.mp3")));
    QTreeWidgetItem* junkRow = nullptr;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i)
      if (m_list->RowFileName(i) == junk) junkRow = m_list->topLevelItem(i);
    QVERIFY(junkRow);
    QVERIFY(junkRow->text(0).endsWith("z.mp3"));

    Select({"歌.mp3"});
    m_list->OnPlay();
    QCOMPARE(m_hooks->opened.size(), size_t{1});
    QVERIFY(m_hooks->opened[0].toEncoded().endsWith("/%B8%E8.mp3"));

    m_list->clearSelection();
    Row(Q("歌.mp3"))->setSelected(true);
    junkRow->setSelected(true);
    m_list->OnDelete();
    QCOMPARE(m_list->topLevelItemCount(), 1);
    QVERIFY(!fs::exists(Dl(gbk)));
    QVERIFY(!fs::exists(Dl(junk)));
    QVERIFY(fs::exists(Dl("keep.mp3")));
  }

  // The system's opener gets the file's bytes; when it cannot open the
  // file the user is told so.
  void playerThatCannotOpenIsReported() {
    const std::string gbk = "\xB8\xE8.mp3";
    Touch(Dl(gbk), 5);
    Load();
    GetBrowseHooks().openUrl = nullptr;
    const std::string args = m_home->root() + "/opener-args";
    const std::string opener = m_home->root() + "/opener";
    Touch(opener, 0);
    std::ofstream(opener) << "#!/bin/sh\necho \"$@\" > '" << args << "'\nexit $OPENER_EXIT\n";
    fs::permissions(opener, fs::perms::owner_all);
    CSystemOpener::SetProgram(QString::fromStdString(opener));
    auto restore = qScopeGuard([] { CSystemOpener::SetProgram("xdg-open"); });

    qputenv("OPENER_EXIT", "0");
    Select({"歌.mp3"});
    m_list->OnPlay();
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(args), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(Slurp(args), "file://" + PercentPath(Dl(gbk)) + "\n", 10000);
    QTest::qWait(50);
    QVERIFY(m_hooks->boxes.empty());

    qputenv("OPENER_EXIT", "3");  // what the opener says when nothing handles the type
    m_list->OnPlay();
    QTRY_COMPARE_WITH_TIMEOUT(m_hooks->boxes.size(), size_t{1}, 10000);
    QCOMPARE(m_hooks->boxes[0].text, Q("无法打开文件: 歌.mp3"));

    CSystemOpener::SetProgram(QString::fromStdString(m_home->root() + "/no-such-opener"));
    m_list->OnPlay();
    QTRY_COMPARE_WITH_TIMEOUT(m_hooks->boxes.size(), size_t{2}, 10000);
    qunsetenv("OPENER_EXIT");
  }

  void deleteOfAVanishedFileStillRemovesTheRow() {
    Touch(Dl("gone.mp3"), 5);
    Load();
    fs::remove(Dl("gone.mp3"));
    Select({"gone.mp3"});
    m_list->OnDelete();
    QCOMPARE(m_list->topLevelItemCount(), 0);
    QVERIFY(m_hooks->boxes.empty());
  }

  void rightButtonSelectsAndShowsTheMenu() {
    for (const char* n : {"a.mp3", "b.mp3", "c.mp3"}) Touch(Dl(n), 5);
    Load();
    Select({"a.mp3", "b.mp3"});
    QTreeWidgetItem* c = Row("c.mp3");
    // A press on an unselected row selects only that row.
    QTest::mousePress(m_list->viewport(), Qt::RightButton, {}, RowPoint(c));
    QCOMPARE(m_list->SelectedRows().size(), size_t{1});
    QVERIFY(c->isSelected());
    QTest::mouseRelease(m_list->viewport(), Qt::RightButton, {}, RowPoint(c));
    QCOMPARE(m_hooks->menusShown, 1);
    QCOMPARE(m_hooks->lastMenu.size(), size_t{2});
    QCOMPARE(m_hooks->lastMenu[0].text, Q("播放"));
    QCOMPARE(m_hooks->lastMenu[1].text, Q("删除"));

    // A press on a selected row keeps the selection; "删除" takes all of it.
    Select({"a.mp3", "b.mp3"});
    m_hooks->menuChoice = CSongList::kCmdDelete;
    QTest::mousePress(m_list->viewport(), Qt::RightButton, {}, RowPoint(Row("a.mp3")));
    QCOMPARE(m_list->SelectedRows().size(), size_t{2});
    QTest::mouseRelease(m_list->viewport(), Qt::RightButton, {}, RowPoint(Row("a.mp3")));
    QCOMPARE(m_list->topLevelItemCount(), 1);
    QVERIFY(fs::exists(Dl("c.mp3")));
    QVERIFY(!fs::exists(Dl("a.mp3")));

    // Released elsewhere: no menu.
    QTest::mousePress(m_list->viewport(), Qt::RightButton, {}, RowPoint(Row("c.mp3")));
    QTest::mouseRelease(m_list->viewport(), Qt::RightButton, {}, QPoint(200, 250));
    QCOMPARE(m_hooks->menusShown, 2);
  }

  void dragStateFollowsTheList() {
    Touch(Dl("a.mp3"), 5);
    Load();
    m_list->topLevelItem(0)->setSelected(true);
    m_list->BeginSongDrag();
    DragState& drag = CBrowseState::Get().m_drag;
    QVERIFY(drag.m_bDragging);
    QCOMPARE(drag.m_pDragSource.data(), static_cast<QWidget*>(m_list.get()));
    QVERIFY(!drag.m_pDragImages[0].isNull());
    QVERIFY(!drag.m_pDragImages[1].isNull());
    QCOMPARE(drag.m_pDragImages[0].size(), QSize(16, 16));
    // A left release over the list ends the drag; nothing moves.
    QTest::mouseRelease(m_list->viewport(), Qt::LeftButton, {}, QPoint(10, 10));
    QVERIFY(!drag.m_bDragging);
    QVERIFY(drag.m_pDragImages[0].isNull());
    QVERIFY(fs::exists(Dl("a.mp3")));
    QCOMPARE(m_list->topLevelItemCount(), 1);
  }
};

QTEST_MAIN(SongListTest)
#include "SongListTest.moc"
