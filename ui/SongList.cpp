#include "ui/SongList.h"

#include <QDrag>
#include <QDragEnterEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

#include "app/FolderOps.h"
#include "engine/Gbk.h"
#include "res/Texts.h"
#include "ui/BrowseHooks.h"
#include "ui/DragState.h"
#include "ui/MainTreeView.h"

namespace {
QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// The file's name on disk, byte for byte, whatever its encoding.
constexpr int kNameBytesRole = Qt::UserRole;
}  // namespace

QString CSongList::DisplayName(const std::string& bytes) {
  // Names copied from old disks are often GBK; anything else is shown with
  // its undecodable bytes replaced.
  if (IsValidUtf8(bytes)) return QString::fromStdString(bytes);
  std::string utf8;
  if (GbkToUtf8(bytes, utf8)) return QString::fromStdString(utf8);
  return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QUrl CSongList::FileUrl(const std::string& path) {
  // Percent-encoding carries bytes that are not UTF-8 through to the player
  // untouched, where a QString path would lose them.
  return QUrl::fromEncoded("file://" + QByteArray::fromStdString(path).toPercentEncoding("/"));
}

CSongList::CSongList(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(2);
  setHeaderLabels({Q(txt::kColFileName), Q(txt::kColSize)});
  header()->resizeSection(0, 200);
  header()->resizeSection(1, 80);
  header()->setStretchLastSection(false);
  headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setDragEnabled(true);
  // Drops are watched (to end a drag released here) but never taken.
  setAcceptDrops(true);
  setDropIndicatorShown(false);
  connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
    if (item) PlayFile(RowFileName(indexOfTopLevelItem(item)));
  });
}

void CSongList::LoadFolder(const std::string& path) {
  m_strFolder = path;
  clear();
  m_nRightClickItem = -1;
  // A folder still being named has no directory yet.
  if (path.empty()) return;
  for (const SongFile& song : ListSongFiles(path)) {
    auto* item = new QTreeWidgetItem(this);
    item->setText(0, DisplayName(song.m_strName));
    item->setData(0, kNameBytesRole, QByteArray::fromStdString(song.m_strName));
    item->setText(1, QString::fromStdString(FormatSizeKB(song.m_nLength)));
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  }
}

std::vector<int> CSongList::SelectedRows() const {
  std::vector<int> rows;
  for (int i = 0; i < topLevelItemCount(); ++i)
    if (topLevelItem(i)->isSelected()) rows.push_back(i);
  return rows;
}

std::string CSongList::RowFileName(int row) const {
  const QTreeWidgetItem* item = row >= 0 ? topLevelItem(row) : nullptr;
  return item ? item->data(0, kNameBytesRole).toByteArray().toStdString() : std::string();
}

void CSongList::DeleteRow(int row) {
  delete takeTopLevelItem(row);
  if (m_nRightClickItem >= topLevelItemCount()) m_nRightClickItem = -1;
}

void CSongList::PlayFile(const std::string& name) {
  if (m_strFolder.empty() || name.empty()) return;
  BrowseOpenFile(FileUrl(JoinPath(m_strFolder, name)), DisplayName(name));
}

void CSongList::OnPlay() {
  int selected = 0;
  std::string name;
  for (int i = 0; i < topLevelItemCount(); ++i) {
    if (!topLevelItem(i)->isSelected()) continue;
    ++selected;
    name = RowFileName(i);
  }
  if (selected > 1) {
    BrowseMessageBox(this, Q(txt::kOneSongOnly), QString(), false);
    return;
  }
  if (!name.empty()) PlayFile(name);
}

void CSongList::OnDelete() {
  // The file that goes is the one listed: this list's folder, the row's
  // bytes. The tree reloads the list when the folder is renamed. Songs go
  // to the trash, where a slip of the mouse can be undone; only a user
  // without any trash loses them for good.
  if (m_strFolder.empty()) return;
  QStringList failed;
  for (int i = topLevelItemCount() - 1; i >= 0; --i) {
    if (!topLevelItem(i)->isSelected()) continue;
    const std::string name = RowFileName(i);
    if (DiscardSongFile(JoinPath(m_strFolder, name))) {
      DeleteRow(i);
    } else {
      failed.prepend(QString::fromUtf8(txt::kSongDeleteError).replace("%s", DisplayName(name)));
    }
  }
  if (!failed.isEmpty()) BrowseMessageBox(this, failed.join('\n'), QString(), false);
}

// --- Right button -------------------------------------------------------------

void CSongList::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::RightButton) {
    QTreeWidget::mousePressEvent(event);
    return;
  }
  QTreeWidgetItem* hit = itemAt(event->position().toPoint());
  m_nRightClickItem = hit ? indexOfTopLevelItem(hit) : -1;
  if (hit && !hit->isSelected()) {
    clearSelection();
    setCurrentItem(hit);
    hit->setSelected(true);
  }
  event->accept();
}

void CSongList::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::RightButton) {
    DragState& drag = CBrowseState::Get().m_drag;
    if (event->button() == Qt::LeftButton && drag.m_bDragging) EndSongDrag();
    QTreeWidget::mouseReleaseEvent(event);
    return;
  }
  event->accept();
  QTreeWidgetItem* hit = itemAt(event->position().toPoint());
  if (m_nRightClickItem != -1 && hit && indexOfTopLevelItem(hit) == m_nRightClickItem)
    ShowContextMenu(viewport()->mapToGlobal(event->position().toPoint()));
}

void CSongList::ShowContextMenu(const QPoint& globalPos) {
  QMenu menu(this);
  menu.addAction(Q(txt::kMenuPlay))->setData(kCmdPlay);
  menu.addAction(Q(txt::kMenuDeleteSong))->setData(kCmdDelete);
  QAction* chosen = BrowsePopupMenu(menu, globalPos);
  if (!chosen) return;
  if (chosen->data().toInt() == kCmdPlay) OnPlay();
  if (chosen->data().toInt() == kCmdDelete) OnDelete();
}

// --- Dragging songs -----------------------------------------------------------

void CSongList::BeginSongDrag() {
  CBrowseState& state = CBrowseState::Get();
  state.LoadDragImages();
  state.m_drag.m_bDropImage = false;
  state.m_drag.m_bDragging = true;
  state.m_drag.m_pDragSource = this;
  state.m_drag.m_hDropItem = nullptr;
}

void CSongList::EndSongDrag() {
  CBrowseState& state = CBrowseState::Get();
  state.m_drag.m_bDragging = false;
  state.ReleaseDragImages();
}

void CSongList::startDrag(Qt::DropActions) {
  if (SelectedRows().empty()) return;
  BeginSongDrag();
  DragState& drag = CBrowseState::Get().m_drag;
  auto* data = new QMimeData;
  data->setData(kSongDragMime, QByteArray());
  QDrag* qdrag = new QDrag(this);
  qdrag->setMimeData(data);
  // The image under the cursor is the cursor itself: the no-entry sign
  // where nothing drops, the blank page over a folder that takes the songs.
  QPixmap none(1, 1);
  none.fill(Qt::transparent);
  qdrag->setPixmap(none);
  qdrag->setDragCursor(drag.m_pDragImages[0], Qt::IgnoreAction);
  qdrag->setDragCursor(drag.m_pDragImages[1], Qt::MoveAction);
  qdrag->exec(Qt::MoveAction, Qt::MoveAction);
  // The drop (if any) happened inside exec; a release anywhere else, even
  // outside the program, ends the drag here too.
  EndSongDrag();
}

void CSongList::dragEnterEvent(QDragEnterEvent* event) {
  if (CBrowseState::Get().m_drag.m_bDragging && event->mimeData()->hasFormat(kSongDragMime))
    event->acceptProposedAction();
  else
    event->ignore();
}

void CSongList::dragMoveEvent(QDragMoveEvent* event) {
  // Back over the list: the no-entry sign, since nothing drops here.
  CBrowseState::Get().m_drag.m_bDropImage = false;
  event->ignore();
}

void CSongList::dropEvent(QDropEvent* event) {
  if (CBrowseState::Get().m_drag.m_bDragging) EndSongDrag();
  event->ignore();
}
