#include <QDragEnterEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "app/DownloaderApp.h"
#include "res/Texts.h"
#include "tests/ui/BrowseFakes.h"
#include "tests/ui/UiTestHome.h"
#include "ui/MainTreeView.h"

namespace fs = std::filesystem;

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

void Touch(const std::string& path, size_t bytes = 1) {
  std::ofstream out(path, std::ios::binary);
  out << std::string(bytes, 's');
}

QStringList ChildTexts(const QTreeWidgetItem* node) {
  QStringList texts;
  for (int i = 0; i < node->childCount(); ++i) texts << node->child(i)->text(0);
  return texts;
}

QTreeWidgetItem* Child(const QTreeWidgetItem* node, const QString& text) {
  for (int i = 0; i < node->childCount(); ++i)
    if (node->child(i)->text(0) == text) return node->child(i);
  return nullptr;
}

}  // namespace

class TreeViewTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<vtest::TempHome> m_home;
  std::unique_ptr<HookRecorder> m_hooks;
  std::unique_ptr<FakeFrame> m_frame;
  std::unique_ptr<CMainTreeView> m_tree;

  std::string Dl(const std::string& rel = std::string()) const {
    return rel.empty() ? m_home->downloads() : m_home->downloads() + "/" + rel;
  }
  // A tree over the downloaded folder as it is on disk now, inside a frame.
  void MakeTree() {
    m_frame = std::make_unique<FakeFrame>();
    CBrowseState::Get().m_pFrame = m_frame.get();
    m_tree = std::make_unique<CMainTreeView>();
    m_tree->resize(300, 500);
    m_tree->show();
    m_frame->resize(600, 500);
    m_frame->show();
  }
  QTreeWidgetItem* Folder(const QString& name) const { return Child(m_tree->DownloadedItem(), name); }
  QTreeWidgetItem* Fixed(const char* text) const {
    auto found = m_tree->findItems(Q(text), Qt::MatchExactly | Qt::MatchRecursive);
    for (QTreeWidgetItem* item : found)
      if (!CMainTreeView::IsDownloadedNode(item)) return item;
    return nullptr;
  }
  QPoint LabelPoint(QTreeWidgetItem* node) const {
    const QRect r = m_tree->visualItemRect(node);
    return QPoint(r.left() + 6, r.center().y());
  }
  void RightClick(QTreeWidgetItem* node) {
    QTest::mousePress(m_tree->viewport(), Qt::RightButton, {}, LabelPoint(node));
    QTest::mouseRelease(m_tree->viewport(), Qt::RightButton, {}, LabelPoint(node));
  }
  void Command(QTreeWidgetItem* node, int command) {
    m_hooks->menuChoice = command;
    RightClick(node);
  }
  // Types into the open label editor and presses Enter.
  void TypeName(const QString& text) {
    QLineEdit* edit = m_tree->LabelEditor();
    QVERIFY(edit);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    TypeText(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
    // The delegate ends the edit through a queued call.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
  }
  void SendDrag(QWidget* target, QEvent::Type type, const QPoint& pos, QMimeData& mime) {
    if (type == QEvent::DragEnter) {
      QDragEnterEvent e(pos, Qt::MoveAction, &mime, Qt::LeftButton, {});
      QCoreApplication::sendEvent(target, &e);
    } else if (type == QEvent::DragMove) {
      QDragMoveEvent e(pos, Qt::MoveAction, &mime, Qt::LeftButton, {});
      QCoreApplication::sendEvent(target, &e);
      m_lastMoveAccepted = e.isAccepted();
    } else if (type == QEvent::DragLeave) {
      QDragLeaveEvent e;
      QCoreApplication::sendEvent(target, &e);
    } else {
      QDropEvent e(pos, Qt::MoveAction, &mime, Qt::LeftButton, {});
      QCoreApplication::sendEvent(target, &e);
    }
  }
  bool m_lastMoveAccepted = false;

 private slots:
  void init() {
    m_home = std::make_unique<vtest::TempHome>();
    m_hooks = std::make_unique<HookRecorder>();
  }
  void cleanup() {
    m_tree.reset();
    m_frame.reset();
    m_hooks.reset();
    m_home.reset();
  }

  void fixedNodesAndFolderScan() {
    fs::create_directories(Dl("A/B"));
    fs::create_directories(Dl("歌单"));
    Touch(Dl("song.mp3"));
    fs::create_directory_symlink(Dl(), Dl("A/loop"));
    MakeTree();

    QStringList top;
    for (int i = 0; i < m_tree->topLevelItemCount(); ++i) top << m_tree->topLevelItem(i)->text(0);
    QCOMPARE(top, QStringList({Q("正在下载"), Q("已下载"), Q("新闻娱乐"), Q("歌曲列表")}));
    QCOMPARE(ChildTexts(m_tree->topLevelItem(3)),
             QStringList({Q("全部歌曲"), Q("热门排行榜"), Q("流行精选"), Q("民族歌曲"), Q("校园民谣"),
                          Q("影视金曲"), Q("经典英文")}));
    QCOMPARE(m_tree->NewsItem()->text(0), Q("新闻娱乐"));
    QVERIFY(m_tree->DownloadedItem()->isExpanded());
    QVERIFY(m_tree->topLevelItem(3)->isExpanded());

    QStringList folders = ChildTexts(m_tree->DownloadedItem());
    folders.sort();
    QCOMPARE(folders, QStringList({Q("A"), Q("歌单")}));
    QCOMPARE(ChildTexts(Folder("A")), QStringList({Q("B")}));  // the link loop is not followed

    QTreeWidgetItem* b = Child(Folder("A"), Q("B"));
    QCOMPARE(CMainTreeView::GetFolderPath(b, b->text(0)), Dl("A/B"));
    QCOMPARE(CMainTreeView::GetFolderPath(b, Q("New")), Dl("A/New"));
    QCOMPARE(CMainTreeView::GetFolderPath(m_tree->DownloadedItem(), Q("已下载")), Dl());
    QVERIFY(CMainTreeView::IsDownloadedNode(b));
    QVERIFY(CMainTreeView::IsDownloadedNode(m_tree->DownloadedItem()));
    QVERIFY(!CMainTreeView::IsDownloadedNode(Fixed(txt::kNodeAllSongs)));
    QVERIFY(m_tree->IsNameTaken(Folder("A"), Q("歌单")));
    QVERIFY(!m_tree->IsNameTaken(Folder("A"), Q("A")));
    QVERIFY(!m_tree->IsNameTaken(Folder("A"), Q("a")));  // letter case counts
  }

  void missingDownloadedFolderShowsNothing() {
    fs::remove_all(Dl());
    MakeTree();
    QCOMPARE(m_tree->DownloadedItem()->childCount(), 0);
    m_tree->setCurrentItem(m_tree->DownloadedItem());
    QVERIFY(m_frame->SongList());
    QCOMPARE(m_frame->SongList()->topLevelItemCount(), 0);
    Command(m_tree->DownloadedItem(), CMainTreeView::kCmdNewChild);
    TypeName("X");
    QCOMPARE(m_hooks->boxes.size(), size_t{1});
    QCOMPARE(m_hooks->boxes[0].text, Q(txt::kFolderCreateFailed));
    QCOMPARE(m_tree->DownloadedItem()->childCount(), 0);
  }

  void menuGreyingAndFixedNodes() {
    fs::create_directories(Dl("A"));
    MakeTree();
    RightClick(m_tree->DownloadedItem());
    QCOMPARE(m_hooks->menusShown, 1);
    QCOMPARE(m_hooks->lastMenu.size(), size_t{4});
    QCOMPARE(m_hooks->lastMenu[0].text, Q("新建同级"));
    QCOMPARE(m_hooks->lastMenu[1].text, Q("新建下级"));
    QCOMPARE(m_hooks->lastMenu[2].text, Q("删除"));
    QCOMPARE(m_hooks->lastMenu[3].text, Q("修改"));
    QVERIFY(!m_hooks->lastMenu[0].enabled);
    QVERIFY(m_hooks->lastMenu[1].enabled);
    QVERIFY(!m_hooks->lastMenu[2].enabled);
    QVERIFY(!m_hooks->lastMenu[3].enabled);

    RightClick(Folder("A"));
    QCOMPARE(m_hooks->menusShown, 2);
    for (const MenuEntry& e : m_hooks->lastMenu) QVERIFY(e.enabled);

    for (const char* text : {txt::kNodeDowning, txt::kNodeNews, txt::kNodeSongLists, txt::kNodeAllSongs})
      RightClick(Fixed(text));
    QCOMPARE(m_hooks->menusShown, 2);

    // A press on one node and a release on another shows nothing.
    QTest::mousePress(m_tree->viewport(), Qt::RightButton, {}, LabelPoint(Folder("A")));
    QTest::mouseRelease(m_tree->viewport(), Qt::RightButton, {}, LabelPoint(m_tree->DownloadedItem()));
    QCOMPARE(m_hooks->menusShown, 2);
  }

  void rightClickHighlightIsGoneAfterRelease() {
    fs::create_directories(Dl("A"));
    MakeTree();
    m_tree->setCurrentItem(m_tree->NewsItem());
    const std::string viewBefore = CBrowseState::Get().GetViewName();
    for (QTreeWidgetItem* node : {Folder("A"), Fixed(txt::kNodeAllSongs)}) {
      QTest::mousePress(m_tree->viewport(), Qt::RightButton, {}, LabelPoint(node));
      QVERIFY(node->isSelected());
      QTest::mouseRelease(m_tree->viewport(), Qt::RightButton, {}, LabelPoint(node));
      QVERIFY(!node->isSelected());
      QCOMPARE(m_tree->currentItem(), m_tree->NewsItem());
      QVERIFY(m_tree->NewsItem()->isSelected());
    }
    QCOMPARE(CBrowseState::Get().GetViewName(), viewBefore);
  }

  void newFolderWithBlanks() {
    fs::create_directories(Dl("A"));
    MakeTree();
    // Cancel: the node goes and nothing is created.
    Command(Folder("A"), CMainTreeView::kCmdNewSibling);
    QVERIFY(m_tree->IsLabelEditEnabled());
    TypeName("   ");
    QCOMPARE(m_hooks->boxes.size(), size_t{1});
    QCOMPARE(m_hooks->boxes[0].text, Q(txt::kFolderNameEmpty));
    QCOMPARE(m_hooks->boxes[0].caption, Q("提示"));
    QVERIFY(m_hooks->boxes[0].okCancel);
    QCOMPARE(m_tree->DownloadedItem()->childCount(), 1);
    QVERIFY(!m_tree->IsLabelEditEnabled());
    QCOMPARE(std::distance(fs::directory_iterator(Dl()), fs::directory_iterator()), 1);

    // OK: the same node is edited again and takes the next name, trimmed.
    m_hooks->answers = {true};
    Command(Folder("A"), CMainTreeView::kCmdNewSibling);
    TypeName("");
    QCOMPARE(m_hooks->boxes.size(), size_t{2});
    QVERIFY(m_tree->LabelEditor());
    TypeName("  New  ");
    QCOMPARE(ChildTexts(m_tree->DownloadedItem()), QStringList({Q("A"), Q("New")}));
    QVERIFY(fs::is_directory(Dl("New")));
    QVERIFY(!m_tree->IsLabelEditEnabled());
  }

  void newChildAndDuplicateSibling() {
    fs::create_directories(Dl("A"));
    fs::create_directories(Dl("C"));
    MakeTree();
    Command(Folder("A"), CMainTreeView::kCmdNewChild);
    QVERIFY(Folder("A")->isExpanded());
    TypeName(Q("子"));
    QVERIFY(fs::is_directory(Dl("A/子")));
    QCOMPARE(ChildTexts(Folder("A")), QStringList({Q("子")}));

    // Duplicate, OK: type again in the same node.
    m_hooks->answers = {true};
    Command(Folder("A"), CMainTreeView::kCmdNewSibling);
    TypeName("C");
    QCOMPARE(m_hooks->boxes.back().text, Q(txt::kFolderExists));
    QCOMPARE(m_hooks->boxes.back().caption, Q("提示"));
    QVERIFY(m_tree->LabelEditor());
    TypeName("D");
    QVERIFY(fs::is_directory(Dl("D")));
    QCOMPARE(m_tree->DownloadedItem()->childCount(), 3);

    // Duplicate, Cancel: the new node goes.
    Command(Folder("A"), CMainTreeView::kCmdNewSibling);
    TypeName("D");
    QCOMPARE(m_hooks->boxes.back().text, Q(txt::kFolderExists));
    QCOMPARE(m_tree->DownloadedItem()->childCount(), 3);
    QVERIFY(!m_tree->IsLabelEditEnabled());
  }

  // While a new folder is named and after it is made, the song list shows
  // that folder, so no command can reach the parent's songs through it.
  void songListFollowsANewFolder() {
    fs::create_directories(Dl("A"));
    Touch(Dl("A/a.mp3"), 3);
    MakeTree();
    m_tree->setCurrentItem(Folder("A"));
    CSongList* list = m_frame->SongList();
    QCOMPARE(list->topLevelItemCount(), 1);

    Command(Folder("A"), CMainTreeView::kCmdNewChild);
    QCOMPARE(list->topLevelItemCount(), 0);
    QCOMPARE(list->Folder(), std::string());
    TypeName(Q("新"));
    QCOMPARE(m_frame->SongList(), list);
    QCOMPARE(list->Folder(), Dl("A/新"));
    QCOMPARE(list->topLevelItemCount(), 0);

    Command(Folder("A"), CMainTreeView::kCmdNewSibling);
    TypeName("B");
    QCOMPARE(list->Folder(), Dl("B"));
    QCOMPARE(list->topLevelItemCount(), 0);

    // A new folder given up: the parent, which is selected again, is listed.
    m_hooks->answers = {false};
    Command(Folder("A"), CMainTreeView::kCmdNewChild);
    TypeName("");
    QCOMPARE(m_tree->currentItem(), Folder("A"));
    QCOMPARE(list->Folder(), Dl("A"));

    // Back in A, delete acts on the file A lists.
    list->topLevelItem(0)->setSelected(true);
    list->OnDelete();
    QVERIFY(!fs::exists(Dl("A/a.mp3")));
  }

  void renameCases() {
    fs::create_directories(Dl("A"));
    fs::create_directories(Dl("C"));
    Touch(Dl("A/s.mp3"));
    MakeTree();
    struct stat before {};
    stat(Dl("A").c_str(), &before);
    Command(Folder("A"), CMainTreeView::kCmdRename);
    TypeName("A");
    QVERIFY(m_hooks->boxes.empty());
    QVERIFY(!m_tree->IsLabelEditEnabled());
    struct stat after {};
    stat(Dl("A").c_str(), &after);
    QCOMPARE(after.st_ino, before.st_ino);

    // To a sibling's name: the box, and Cancel keeps the old name.
    Command(Folder("A"), CMainTreeView::kCmdRename);
    TypeName("C");
    QCOMPARE(m_hooks->boxes.size(), size_t{1});
    QCOMPARE(m_hooks->boxes[0].text, Q(txt::kFolderExists));
    QVERIFY(Folder("A"));
    QVERIFY(fs::is_directory(Dl("A")));

    // Empty, Cancel: the folder keeps its name.
    Command(Folder("A"), CMainTreeView::kCmdRename);
    TypeName(" ");
    QCOMPARE(m_hooks->boxes.back().text, Q(txt::kFolderNameEmpty));
    QVERIFY(Folder("A"));

    // A real rename moves the directory with its songs; the listed folder follows.
    m_tree->setCurrentItem(Folder("A"));
    Command(Folder("A"), CMainTreeView::kCmdRename);
    TypeName(Q("新名"));
    QVERIFY(Folder(Q("新名")));
    QVERIFY(fs::exists(Dl("新名/s.mp3")));
    QVERIFY(!fs::exists(Dl("A")));
    QCOMPARE(m_frame->SongList()->Folder(), Dl("新名"));
  }

  void namesThatWouldLeaveTheFolder() {
    fs::create_directories(Dl("A"));
    MakeTree();
    for (const char* bad : {"a/b", "..", "."}) {
      Command(Folder("A"), CMainTreeView::kCmdNewSibling);
      TypeName(Q(bad));
      QCOMPARE(m_hooks->boxes.back().text, Q(txt::kFolderCreateFailed));
      QVERIFY(m_hooks->boxes.back().caption.isEmpty());
      QVERIFY(!m_hooks->boxes.back().okCancel);
      QCOMPARE(m_tree->DownloadedItem()->childCount(), 1);
    }
    QVERIFY(!fs::exists(Dl("a")));
    Command(Folder("A"), CMainTreeView::kCmdRename);
    TypeName("../x");
    QCOMPARE(m_hooks->boxes.back().text, Q(txt::kFolderRenameFailed));
    QVERIFY(Folder("A"));
    QVERIFY(!fs::exists(m_home->home() + "/x"));
  }

  void nameIsCutAtSixteenBytes() {
    fs::create_directories(Dl("A"));
    MakeTree();
    Command(Folder("A"), CMainTreeView::kCmdNewSibling);
    QLineEdit* edit = m_tree->LabelEditor();
    QVERIFY(edit);
    QTest::keyClicks(edit, "abcdefghijklmnopqrst");
    QCOMPARE(edit->text(), QString("abcdefghijklmnop"));
    edit->clear();
    TypeText(edit, Q("a一二三四五六七八"));  // 1 + 2 * 8 bytes
    QCOMPARE(edit->text(), Q("a一二三四五六七"));
    QTest::keyClick(edit, Qt::Key_Return);
    QCoreApplication::processEvents();
    QVERIFY(fs::is_directory(Dl("a一二三四五六七")));
  }

  // Folders from an old GBK disk, and bytes that are no text at all: shown
  // readably, and listed, renamed, dropped on and deleted by their bytes.
  void folderNamesThatAreNotUtf8() {
    const std::string gbk = "\xB8\xE8";     // "歌" in GBK
    const std::string junk = "\xFF\xFEz";   // neither UTF-8 nor GBK
    fs::create_directories(Dl(gbk + "/" + gbk));
    fs::create_directories(Dl(junk));
    Touch(Dl(gbk + "/a.mp3"), 3);
    Touch(Dl(gbk + "/" + gbk + "/b.mp3"), 4);
    MakeTree();
    QTreeWidgetItem* song = Folder(Q("歌"));
    QVERIFY(song);
    QVERIFY(Child(song, Q("歌")));
    QTreeWidgetItem* junkNode = nullptr;
    for (int i = 0; i < m_tree->DownloadedItem()->childCount(); ++i)
      if (CMainTreeView::NodeName(m_tree->DownloadedItem()->child(i)) == junk) junkNode = m_tree->DownloadedItem()->child(i);
    QVERIFY(junkNode);
    QVERIFY(junkNode->text(0).endsWith("z"));

    m_tree->setCurrentItem(Child(song, Q("歌")));
    CSongList* list = m_frame->SongList();
    QCOMPARE(list->Folder(), Dl(gbk + "/" + gbk));
    QCOMPARE(list->topLevelItemCount(), 1);

    // Songs dropped on the junk-named folder land in it.
    m_tree->setCurrentItem(song);
    QCOMPARE(list->topLevelItemCount(), 1);
    list->topLevelItem(0)->setSelected(true);
    QMimeData mime;
    mime.setData(kSongDragMime, QByteArray());
    list->BeginSongDrag();
    SendDrag(m_tree->viewport(), QEvent::DragEnter, LabelPoint(junkNode), mime);
    SendDrag(m_tree->viewport(), QEvent::DragMove, LabelPoint(junkNode), mime);
    QVERIFY(m_lastMoveAccepted);
    SendDrag(m_tree->viewport(), QEvent::Drop, LabelPoint(junkNode), mime);
    QVERIFY(fs::exists(Dl(junk + "/a.mp3")));
    QVERIFY(!fs::exists(Dl(gbk + "/a.mp3")));

    // Renamed: the very directory moves, its sub-folder with it.
    Command(song, CMainTreeView::kCmdRename);
    TypeName(Q("新歌"));
    QVERIFY(m_hooks->boxes.empty());
    QVERIFY(fs::exists(Dl("新歌/" + gbk + "/b.mp3")));
    QVERIFY(!fs::exists(Dl(gbk)));
    m_tree->setCurrentItem(Child(Folder(Q("新歌")), Q("歌")));
    QCOMPARE(list->Folder(), Dl("新歌/" + gbk));

    // Deleted: asked twice as any full folder, then gone from the disk.
    m_hooks->answers = {true, true};
    Command(junkNode, CMainTreeView::kCmdDelete);
    QVERIFY(!fs::exists(Dl(junk)));
    QVERIFY(fs::exists(Dl("新歌")));
  }

  void deleteEmptyAndFullFolders() {
    fs::create_directories(Dl("Empty"));
    fs::create_directories(Dl("Full/Sub"));
    Touch(Dl("Full/a.mp3"));
    Touch(Dl("Full/Sub/b.wma"));
    Touch(Dl("Full/notes.txt"));
    MakeTree();
    Command(Folder("Empty"), CMainTreeView::kCmdDelete);
    QVERIFY(m_hooks->boxes.empty());
    QVERIFY(!Folder("Empty"));
    QVERIFY(!fs::exists(Dl("Empty")));

    // Cancel at the second question: nothing goes.
    m_hooks->answers = {true, false};
    Command(Folder("Full"), CMainTreeView::kCmdDelete);
    QCOMPARE(m_hooks->boxes.size(), size_t{2});
    QVERIFY(Folder("Full"));
    QVERIFY(fs::exists(Dl("Full/a.mp3")));

    m_hooks->boxes.clear();
    m_hooks->answers = {true, true};
    Command(Folder("Full"), CMainTreeView::kCmdDelete);
    QCOMPARE(m_hooks->boxes.size(), size_t{2});
    QCOMPARE(m_hooks->boxes[0].text, Q(txt::kFolderNotEmpty));
    QCOMPARE(m_hooks->boxes[1].text, Q(txt::kFolderDeleteSongs));
    QCOMPARE(m_hooks->boxes[1].caption, Q("提示"));
    QVERIFY(!Folder("Full"));
    QVERIFY(!fs::exists(Dl("Full")));
    QVERIFY(fs::is_directory(Dl()));
  }

  void deletingTheShownFolderLeavesNoDanglingState() {
    fs::create_directories(Dl("A/B"));
    MakeTree();
    QTreeWidgetItem* b = Child(Folder("A"), Q("B"));
    m_tree->setCurrentItem(b);
    QCOMPARE(CBrowseState::Get().m_hShownFolder, b);
    m_hooks->answers = {true, true};
    Command(Folder("A"), CMainTreeView::kCmdDelete);
    QVERIFY(!Folder("A"));
    QVERIFY(CBrowseState::Get().m_hShownFolder != b);
    QVERIFY(m_tree->currentItem());
  }

  void viewSwitches() {
    fs::create_directories(Dl("A"));
    Touch(Dl("top.mp3"));
    Touch(Dl("A/inner.mp3"));
    MakeTree();
    CBrowseState& state = CBrowseState::Get();

    m_tree->setCurrentItem(m_tree->NewsItem());
    QCOMPARE(state.GetViewName(), std::string(kViewHtml));
    QVERIFY(m_frame->IsBottomRowShown());
    QVERIFY(m_frame->DowningList());
    QVERIFY(m_frame->Page()->source().toLocalFile().endsWith("/html/kk.htm"));
    QVERIFY(!m_frame->Page()->IsInterceptingLinks());

    const int bottoms = m_frame->m_nBottomReplaced;
    m_tree->setCurrentItem(Fixed(txt::kNodeHitChart));
    QCOMPARE(m_frame->m_nBottomReplaced, bottoms);  // same arrangement, new page only
    QVERIFY(m_frame->Page()->source().toLocalFile().endsWith("/html/rm.htm"));
    QVERIFY(m_frame->Page()->IsInterceptingLinks());

    m_tree->setCurrentItem(m_tree->DownloadedItem());
    QCOMPARE(state.GetViewName(), std::string(kViewSongList));
    QVERIFY(!m_frame->IsBottomRowShown());
    QCOMPARE(m_frame->SongList()->Folder(), Dl());
    QCOMPARE(m_frame->SongList()->topLevelItem(0)->text(0), Q("top.mp3"));
    CSongList* list = m_frame->SongList();
    m_tree->setCurrentItem(Folder("A"));
    QCOMPARE(m_frame->SongList(), list);  // kept, just reloaded
    QCOMPARE(list->topLevelItem(0)->text(0), Q("inner.mp3"));

    const int rights = m_frame->m_nRightReplaced;
    m_tree->setCurrentItem(Fixed(txt::kNodeSongLists));
    QCOMPARE(m_frame->m_nRightReplaced, rights);
    QCOMPARE(state.GetViewName(), std::string(kViewSongList));
    QCOMPARE(state.m_hShownFolder, Fixed(txt::kNodeSongLists));

    m_tree->setCurrentItem(Fixed(txt::kNodeDowning));
    QCOMPARE(state.GetViewName(), std::string(kViewDowningList));
    QVERIFY(m_frame->DowningList());
    QVERIFY(!m_frame->IsBottomRowShown());
  }

  void foldersNamedLikeFixedNodes() {
    fs::create_directories(Dl("正在下载"));
    fs::create_directories(Dl("全部歌曲"));
    Touch(Dl("全部歌曲/x.mp3"));
    MakeTree();
    m_tree->setCurrentItem(Folder(Q("全部歌曲")));
    QCOMPARE(CBrowseState::Get().GetViewName(), std::string(kViewSongList));
    QCOMPARE(m_frame->SongList()->topLevelItemCount(), 1);
    m_tree->setCurrentItem(Folder(Q("正在下载")));
    QCOMPARE(CBrowseState::Get().GetViewName(), std::string(kViewDowningList));
    QVERIFY(m_frame->DowningList());
  }

  void dragSongsOntoAnotherFolder() {
    fs::create_directories(Dl("From"));
    fs::create_directories(Dl("To"));
    Touch(Dl("From/one.mp3"), 3);
    Touch(Dl("From/two.mp3"), 5);
    Touch(Dl("From/stay.mp3"), 7);
    Touch(Dl("To/two.mp3"), 1);  // replaced by the dropped song
    MakeTree();
    m_tree->setCurrentItem(Folder("From"));
    CSongList* list = m_frame->SongList();
    QVERIFY(list);
    QCOMPARE(list->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i)
      list->topLevelItem(i)->setSelected(list->topLevelItem(i)->text(0) != "stay.mp3");

    QMimeData mime;
    mime.setData(kSongDragMime, QByteArray());
    list->BeginSongDrag();
    // Over the folder the songs come from: no drop possible.
    SendDrag(m_tree->viewport(), QEvent::DragEnter, LabelPoint(Folder("From")), mime);
    SendDrag(m_tree->viewport(), QEvent::DragMove, LabelPoint(Folder("From")), mime);
    QVERIFY(!m_lastMoveAccepted);
    QVERIFY(!CBrowseState::Get().m_drag.m_bDropImage);
    // Over a fixed node: none either.
    SendDrag(m_tree->viewport(), QEvent::DragMove, LabelPoint(m_tree->NewsItem()), mime);
    QVERIFY(!m_lastMoveAccepted);
    SendDrag(m_tree->viewport(), QEvent::DragMove, LabelPoint(Folder("To")), mime);
    QVERIFY(m_lastMoveAccepted);
    QVERIFY(CBrowseState::Get().m_drag.m_bDropImage);
    QCOMPARE(Folder("To")->background(0), m_tree->palette().highlight());
    // Released over empty space: the node highlighted last takes the songs.
    const QPoint empty(150, 480);
    QVERIFY(!m_tree->itemAt(empty));
    SendDrag(m_tree->viewport(), QEvent::DragMove, empty, mime);
    QVERIFY(m_lastMoveAccepted);
    SendDrag(m_tree->viewport(), QEvent::Drop, empty, mime);

    QVERIFY(!CBrowseState::Get().m_drag.m_bDragging);
    QCOMPARE(Folder("To")->background(0).style(), Qt::NoBrush);
    QVERIFY(fs::exists(Dl("To/one.mp3")));
    QCOMPARE(fs::file_size(Dl("To/two.mp3")), uintmax_t{5});
    QVERIFY(!fs::exists(Dl("From/one.mp3")));
    QVERIFY(!fs::exists(Dl("From/two.mp3")));
    QVERIFY(fs::exists(Dl("From/stay.mp3")));
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), Q("stay.mp3"));
  }

  void dropOnTheSongListMovesNothing() {
    fs::create_directories(Dl("From"));
    fs::create_directories(Dl("To"));
    Touch(Dl("From/one.mp3"));
    MakeTree();
    m_tree->setCurrentItem(Folder("From"));
    CSongList* list = m_frame->SongList();
    list->topLevelItem(0)->setSelected(true);
    QMimeData mime;
    mime.setData(kSongDragMime, QByteArray());
    list->BeginSongDrag();
    SendDrag(m_tree->viewport(), QEvent::DragEnter, LabelPoint(Folder("To")), mime);
    SendDrag(m_tree->viewport(), QEvent::DragMove, LabelPoint(Folder("To")), mime);
    SendDrag(m_tree->viewport(), QEvent::DragLeave, QPoint(), mime);
    SendDrag(list->viewport(), QEvent::DragEnter, QPoint(20, 20), mime);
    SendDrag(list->viewport(), QEvent::DragMove, QPoint(20, 20), mime);
    QVERIFY(!CBrowseState::Get().m_drag.m_bDropImage);
    SendDrag(list->viewport(), QEvent::Drop, QPoint(20, 20), mime);
    QVERIFY(!CBrowseState::Get().m_drag.m_bDragging);
    QVERIFY(fs::exists(Dl("From/one.mp3")));
    QVERIFY(!fs::exists(Dl("To/one.mp3")));
    QCOMPARE(list->topLevelItemCount(), 1);
    // A later drop on the tree, with no drag running, moves nothing either.
    SendDrag(m_tree->viewport(), QEvent::Drop, LabelPoint(Folder("To")), mime);
    QVERIFY(fs::exists(Dl("From/one.mp3")));
  }

  void dropIntoTheDownloadedRoot() {
    fs::create_directories(Dl("From"));
    Touch(Dl("From/one.mp3"));
    MakeTree();
    m_tree->setCurrentItem(Folder("From"));
    CSongList* list = m_frame->SongList();
    list->topLevelItem(0)->setSelected(true);
    QMimeData mime;
    mime.setData(kSongDragMime, QByteArray());
    list->BeginSongDrag();
    SendDrag(m_tree->viewport(), QEvent::DragEnter, LabelPoint(m_tree->DownloadedItem()), mime);
    SendDrag(m_tree->viewport(), QEvent::DragMove, LabelPoint(m_tree->DownloadedItem()), mime);
    SendDrag(m_tree->viewport(), QEvent::Drop, LabelPoint(m_tree->DownloadedItem()), mime);
    QVERIFY(fs::exists(Dl("one.mp3")));
    QCOMPARE(list->topLevelItemCount(), 0);
  }

  void escapeAbandonsTheEdit() {
    fs::create_directories(Dl("A"));
    MakeTree();
    Command(Folder("A"), CMainTreeView::kCmdNewSibling);
    QVERIFY(m_tree->LabelEditor());
    QTest::keyClick(m_tree->LabelEditor(), Qt::Key_Escape);
    QCoreApplication::processEvents();
    QCOMPARE(m_tree->DownloadedItem()->childCount(), 1);
    Command(Folder("A"), CMainTreeView::kCmdRename);
    TypeText(m_tree->LabelEditor(), "Other");
    QTest::keyClick(m_tree->LabelEditor(), Qt::Key_Escape);
    QCoreApplication::processEvents();
    QVERIFY(Folder("A"));
    QVERIFY(fs::is_directory(Dl("A")));
    QVERIFY(m_hooks->boxes.empty());
    QVERIFY(!m_tree->IsLabelEditEnabled());
  }

  void arrangementsInTheMainFrame() {
    m_hooks.reset();  // the frame's own hooks and state
    uitest::UiHome h;
    fs::create_directories(h.home.downloads() + "/A");
    Touch(h.home.downloads() + "/A/x.mp3", 2048);
    h.Start();
    auto* tree = qobject_cast<CMainTreeView*>(h.frame->GetTreeView());
    QVERIFY(tree);
    // First activation selects the news node: the news page below the list.
    QCOMPARE(tree->currentItem(), tree->NewsItem());
    QCOMPARE(h.app->GetViewName(), std::string(kViewHtml));
    auto* page = qobject_cast<CMyHtmlView*>(h.frame->GetBottomView());
    QVERIFY(page);
    QVERIFY(page->source().toLocalFile().endsWith("/html/kk.htm"));
    QVERIFY(h.frame->IsBottomRowShown());

    tree->setCurrentItem(Child(tree->DownloadedItem(), "A"));
    QCOMPARE(h.app->GetViewName(), std::string(kViewSongList));
    auto* list = qobject_cast<CSongList*>(h.frame->GetRightView());
    QVERIFY(list);
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(1), QString("2KB"));
    QVERIFY(!h.frame->IsBottomRowShown());

    tree->setCurrentItem(tree->topLevelItem(0));  // 正在下载
    QCOMPARE(h.app->GetViewName(), std::string(kViewDowningList));
    QVERIFY(qobject_cast<CDowningList*>(h.frame->GetRightView()));
    QVERIFY(!h.frame->IsBottomRowShown());
    m_hooks = std::make_unique<HookRecorder>();
  }

  void screenshotTreeWithSongs() {
    fs::create_directories(Dl("流行"));
    fs::create_directories(Dl("流行/2024"));
    fs::create_directories(Dl("英文"));
    Touch(Dl("流行/月亮之上.mp3"), 4321000);
    Touch(Dl("流行/小城故事.mp3"), 3870000);
    Touch(Dl("流行/Song Name.wma"), 2950000);
    Touch(Dl("流行/demo.rm"), 1536000);
    MakeTree();
    m_tree->setCurrentItem(Folder(Q("流行")));
    QWidget window;
    auto* layout = new QHBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    m_tree->setParent(&window);
    CSongList* list = m_frame->SongList();
    list->setParent(&window);
    layout->addWidget(m_tree.get(), 1);
    layout->addWidget(list, 3);
    window.resize(640, 300);
    window.show();
    list->topLevelItem(1)->setSelected(true);
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QString out = qEnvironmentVariable("VIRELOMP3_SCREENSHOTS");
    if (!out.isEmpty()) QVERIFY(window.grab().save(out + "/tree-songs.png"));
    list->setParent(m_frame.get());
    m_tree->setParent(nullptr);
  }
};

QTEST_MAIN(TreeViewTest)
#include "TreeViewTest.moc"
