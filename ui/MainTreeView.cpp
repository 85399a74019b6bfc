#include "ui/MainTreeView.h"

#include <QDragEnterEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <QTreeWidgetItemIterator>

#include "app/DownloaderApp.h"
#include "app/FolderOps.h"
#include "engine/Common.h"
#include "res/Texts.h"
#include "ui/BrowseFrame.h"
#include "ui/BrowseHooks.h"
#include "ui/DragState.h"
#include "ui/FolderNameDelegate.h"
#include "ui/PaneSwitcher.h"
#include "ui/SongList.h"

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// A folder node's name on disk, byte for byte.
constexpr int kNameBytesRole = Qt::UserRole + 1;

void Tell(QWidget* owner, const char* text) { BrowseMessageBox(owner, Q(text), QString(), false); }

}  // namespace

CMainTreeView::CMainTreeView(QWidget* parent) : QTreeWidget(parent) {
  InitBrowseResources();
  const QPixmap closed(":/tree/folder-closed.png");
  const QPixmap open(":/tree/folder-open.png");
  m_folderIcon.addPixmap(closed, QIcon::Normal);
  m_folderIcon.addPixmap(open, QIcon::Selected);
  m_newFolderIcon.addPixmap(closed, QIcon::Normal);
  m_newFolderIcon.addPixmap(closed, QIcon::Selected);

  setColumnCount(1);
  setHeaderHidden(true);
  setIconSize(QSize(16, 16));
  setRootIsDecorated(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  // Labels are edited only by the folder commands.
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Songs arrive from the song list; the tree itself drags nothing.
  setDragDropMode(QAbstractItemView::DropOnly);
  setDropIndicatorShown(false);
  setItemDelegate(new FolderNameDelegate(kMaxNameBytes, this));

  AddNode(nullptr, Q(txt::kNodeDowning));
  m_hDownloadedItem = AddNode(nullptr, Q(txt::kNodeDownloaded));
  m_hNewsItem = AddNode(nullptr, Q(txt::kNodeNews));
  QTreeWidgetItem* lists = AddNode(nullptr, Q(txt::kNodeSongLists));
  for (const char* text : PaneSwitcher::kCategoryNodes)
    if (text != txt::kNodeNews) AddNode(lists, Q(text));

  LoadFolders(JoinPath(GetAppDirectory(), txt::kDownloadedDir), m_hDownloadedItem);
  m_hDownloadedItem->setExpanded(true);
  lists->setExpanded(true);

  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current, QTreeWidgetItem*) {
    if (current) OnFolderSelected(current);
  });
}

CMainTreeView::~CMainTreeView() {
  // The shared state must not keep pointers into a tree that is gone.
  for (int i = 0; i < topLevelItemCount(); ++i) CBrowseState::Get().ForgetItem(topLevelItem(i));
}

QTreeWidgetItem* CMainTreeView::AddNode(QTreeWidgetItem* parent, const QString& text) {
  auto* node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
  node->setText(0, text);
  node->setIcon(0, m_folderIcon);
  return node;
}

void CMainTreeView::LoadFolders(const std::string& dir, QTreeWidgetItem* parent) {
  for (const std::string& name : ListSubFolders(dir)) {
    QTreeWidgetItem* node = AddNode(parent, CSongList::DisplayName(name));
    SetNodeName(node, name);
    LoadFolders(JoinPath(dir, name), node);
  }
}

std::string CMainTreeView::NodeName(const QTreeWidgetItem* node) {
  const QVariant bytes = node->data(0, kNameBytesRole);
  return bytes.isValid() ? bytes.toByteArray().toStdString() : node->text(0).toStdString();
}

void CMainTreeView::SetNodeName(QTreeWidgetItem* node, const std::string& bytes) {
  node->setData(0, kNameBytesRole, QByteArray::fromStdString(bytes));
}

std::string CMainTreeView::GetFolderPath(const QTreeWidgetItem* node, const QString& text) {
  std::vector<std::string> ancestors;
  for (const QTreeWidgetItem* p = node ? node->parent() : nullptr; p; p = p->parent()) ancestors.push_back(NodeName(p));
  std::string path = GetAppDirectory();
  for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) path = JoinPath(path, *it);
  return JoinPath(path, text.toStdString());
}

std::string CMainTreeView::FolderPathOf(const QTreeWidgetItem* node) {
  std::string path = GetFolderPath(node, QString());
  if (!path.empty() && path.back() == '/') path.pop_back();
  return JoinPath(path, NodeName(node));
}

bool CMainTreeView::IsDownloadedRoot(const QTreeWidgetItem* node) {
  return node && !node->parent() && node->text(0) == Q(txt::kNodeDownloaded);
}

bool CMainTreeView::IsDownloadedNode(const QTreeWidgetItem* node) {
  for (; node; node = node->parent())
    if (IsDownloadedRoot(node)) return true;
  return false;
}

bool CMainTreeView::IsNameTaken(const QTreeWidgetItem* node, const QString& name) const {
  const QTreeWidgetItem* parent = node->parent();
  const int count = parent ? parent->childCount() : topLevelItemCount();
  for (int i = 0; i < count; ++i) {
    const QTreeWidgetItem* sibling = parent ? parent->child(i) : topLevelItem(i);
    if (sibling != node && sibling->text(0) == name) return true;
  }
  return false;
}

QLineEdit* CMainTreeView::LabelEditor() const {
  if (!m_hEditItem) return nullptr;
  return qobject_cast<QLineEdit*>(indexWidget(indexFromItem(m_hEditItem)));
}

// --- Right button and the folder menu ---------------------------------------

QTreeWidgetItem* CMainTreeView::HitNode(const QPoint& pos) const {
  QTreeWidgetItem* node = itemAt(pos);
  if (!node) return nullptr;
  // Only the icon and the label count, not the indent or the empty row end.
  const QRect rect = visualItemRect(node);
  const int labelEnd = rect.left() + iconSize().width() + 8 + fontMetrics().horizontalAdvance(node->text(0));
  return pos.x() >= rect.left() && pos.x() <= labelEnd ? node : nullptr;
}

void CMainTreeView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::RightButton) {
    QTreeWidget::mousePressEvent(event);
    return;
  }
  const QPoint pos = event->position().toPoint();
  m_hRightClickItem = itemAt(pos);
  m_bWasSelected = true;
  if (m_hRightClickItem && HitNode(pos) == m_hRightClickItem) {
    // A highlight only: the current node does not move.
    m_bWasSelected = m_hRightClickItem->isSelected();
    if (!m_bWasSelected) m_hRightClickItem->setSelected(true);
  }
  event->accept();
}

void CMainTreeView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::RightButton) {
    QTreeWidget::mouseReleaseEvent(event);
    return;
  }
  event->accept();
  const QPoint pos = event->position().toPoint();
  QTreeWidgetItem* pressed = m_hRightClickItem;
  if (pressed && HitNode(pos) == pressed && IsDownloadedNode(pressed))
    ShowFolderMenu(viewport()->mapToGlobal(pos));
  // The menu's command may have removed the node (RemoveNode clears it).
  if (m_hRightClickItem && m_hRightClickItem == pressed && !m_bWasSelected &&
      m_hRightClickItem != currentItem())
    m_hRightClickItem->setSelected(false);
  m_bWasSelected = true;
}

void CMainTreeView::ShowFolderMenu(const QPoint& globalPos) {
  QMenu menu(this);
  auto add = [&](const char* text, const char* tip, int id) {
    QAction* action = menu.addAction(Q(text));
    action->setStatusTip(Q(tip));
    action->setData(id);
    return action;
  };
  QAction* sibling = add(txt::kMenuNewSibling, txt::kTipNewSibling, kCmdNewSibling);
  add(txt::kMenuNewChild, txt::kTipNewChild, kCmdNewChild);
  QAction* remove = add(txt::kMenuDelete, txt::kTipDelete, kCmdDelete);
  QAction* rename = add(txt::kMenuRename, txt::kTipRename, kCmdRename);
  if (IsDownloadedRoot(m_hRightClickItem)) {
    sibling->setEnabled(false);
    remove->setEnabled(false);
    rename->setEnabled(false);
  }
  QAction* chosen = BrowsePopupMenu(menu, globalPos);
  if (!chosen || !chosen->isEnabled()) return;
  switch (chosen->data().toInt()) {
    case kCmdNewSibling: OnNewSibling(); break;
    case kCmdNewChild: OnNewChild(); break;
    case kCmdDelete: OnDelete(); break;
    case kCmdRename: OnRename(); break;
    default: break;
  }
}

// --- Folder commands ----------------------------------------------------------

void CMainTreeView::EnableLabelEdit(bool on) { m_bLabelEdit = on; }

void CMainTreeView::OnNewSibling() {
  // The root has no siblings that map to a directory.
  if (!IsDownloadedNode(m_hRightClickItem) || IsDownloadedRoot(m_hRightClickItem)) return;
  auto* node = new QTreeWidgetItem(m_hRightClickItem->parent());
  node->setIcon(0, m_newFolderIcon);
  m_hNewItem = node;
  m_bRenaming = false;
  EnableLabelEdit(true);
  StartLabelEdit(node);
}

void CMainTreeView::OnNewChild() {
  if (!IsDownloadedNode(m_hRightClickItem)) return;
  auto* node = new QTreeWidgetItem(m_hRightClickItem);
  node->setIcon(0, m_newFolderIcon);
  m_hNewItem = node;
  m_bRenaming = false;
  m_hRightClickItem->setExpanded(true);
  EnableLabelEdit(true);
  StartLabelEdit(node);
}

void CMainTreeView::OnRename() {
  if (!IsDownloadedNode(m_hRightClickItem) || IsDownloadedRoot(m_hRightClickItem)) return;
  m_bRenaming = true;
  m_strOldName = m_hRightClickItem->text(0);
  EnableLabelEdit(true);
  StartLabelEdit(m_hRightClickItem);
}

void CMainTreeView::OnDelete() {
  QTreeWidgetItem* node = m_hRightClickItem;
  if (!IsDownloadedNode(node) || IsDownloadedRoot(node)) return;
  const std::string path = FolderPathOf(node);
  // A directory removed behind the program's back just loses its node.
  if (!FolderExists(path) || RemoveEmptyFolder(path)) {
    RemoveNode(node);
    return;
  }
  Ask(txt::kFolderNotEmpty, node, [this, node, path] {
    Ask(txt::kFolderDeleteSongs, node, [this, node, path] {
      if (!DeleteFolderTree(path, [this] { Tell(this, txt::kFolderDeleteError); })) {
        Tell(this, txt::kFolderDeleteError);
        return;
      }
      RemoveNode(node);
    });
  });
}

bool CMainTreeView::HasNode(const QTreeWidgetItem* node) const {
  if (!node) return false;
  for (QTreeWidgetItemIterator it(const_cast<CMainTreeView*>(this)); *it; ++it)
    if (*it == node) return true;
  return false;
}

void CMainTreeView::Ask(const char* text, QTreeWidgetItem* node, std::function<void()> onOk,
                        std::function<void()> onCancel) {
  // The answer comes after the box closes; by then the node may be gone
  // (the window can still be closed from the tray menu).
  QPointer<CMainTreeView> self(this);
  BrowseMessageBox(this, Q(text), Q(txt::kBoxCaption), true,
                   [self, node, onOk = std::move(onOk), onCancel = std::move(onCancel)](bool ok) {
                     if (!self) return;
                     if (!self->HasNode(node)) {
                       self->EnableLabelEdit(false);
                       return;
                     }
                     if (ok && onOk) onOk();
                     if (!ok && onCancel) onCancel();
                   });
}

void CMainTreeView::StartLabelEdit(QTreeWidgetItem* node) {
  if (!m_bLabelEdit || !node) return;
  node->setFlags(node->flags() | Qt::ItemIsEditable);
  m_hEditItem = node;
  // The edited node becomes the tree's selection, as the control does.
  setCurrentItem(node);
  editItem(node, 0);
}

void CMainTreeView::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
  auto* edit = qobject_cast<QLineEdit*>(editor);
  const QString text = edit ? edit->text() : QString();
  QTreeWidgetItem* node = m_hEditItem;
  m_hEditItem = nullptr;
  QTreeWidget::closeEditor(editor, QAbstractItemDelegate::NoHint);
  if (!node) return;
  node->setFlags(node->flags() & ~Qt::ItemIsEditable);
  EndLabelEdit(node, text, hint == QAbstractItemDelegate::RevertModelCache);
}

void CMainTreeView::EndLabelEdit(QTreeWidgetItem* node, const QString& text, bool abandoned) {
  // Escape gives up: a new node goes again, a renamed one keeps its name.
  if (abandoned) {
    if (!m_bRenaming) RemoveNode(node);
    EnableLabelEdit(false);
    return;
  }
  std::string gbk;
  const bool representable = Utf8ToGbk(text.toStdString(), gbk);
  QString name = text.trimmed();
  if (representable) {
    gbk = TrimFolderName(gbk);
    name = QString::fromStdString(GbkToUtf8(gbk));
  }
  const bool usable = representable && IsUsableFolderName(gbk);

  const bool renaming = m_bRenaming;
  if (name.isEmpty()) {
    Ask(
        txt::kFolderNameEmpty, node, [this, node] { StartLabelEdit(node); },
        [this, node, renaming] {
          if (!renaming) RemoveNode(node);
          EnableLabelEdit(false);
        });
    return;
  }
  if (renaming) {
    if (name == m_strOldName) {
      EnableLabelEdit(false);
      return;
    }
    if (IsNameTaken(node, name)) {
      Ask(txt::kFolderExists, node, [this, node] { StartLabelEdit(node); }, [this] { EnableLabelEdit(false); });
      return;
    }
    if (usable && RenameFolder(FolderPathOf(node), GetFolderPath(node, name))) {
      node->setText(0, name);
      SetNodeName(node, name.toStdString());
      ReloadShownFolderUnder(node);
    } else {
      Tell(this, txt::kFolderRenameFailed);
    }
    EnableLabelEdit(false);
    return;
  }
  if (IsNameTaken(node, name)) {
    Ask(
        txt::kFolderExists, node, [this, node] { StartLabelEdit(node); },
        [this, node] {
          RemoveNode(node);
          EnableLabelEdit(false);
        });
    return;
  }
  if (usable && MakeFolder(GetFolderPath(node, name))) {
    node->setText(0, name);
    SetNodeName(node, name.toStdString());
    // The new folder is the node selected; the list shows it (empty) now
    // that it has a directory.
    ReloadShownFolderUnder(node);
  } else {
    Tell(this, txt::kFolderCreateFailed);
    RemoveNode(node);
  }
  EnableLabelEdit(false);
}

void CMainTreeView::RemoveNode(QTreeWidgetItem* node) {
  auto within = [node](const QTreeWidgetItem* item) {
    for (; item; item = item->parent())
      if (item == node) return true;
    return false;
  };
  // Qt leaves no current node when the current one goes with a parent;
  // the parent takes over so the panes never show a folder that is gone.
  if (within(currentItem()) && node->parent()) setCurrentItem(node->parent());
  CBrowseState::Get().ForgetItem(node);
  if (within(m_hRightClickItem)) m_hRightClickItem = nullptr;
  if (within(m_hNewItem)) m_hNewItem = nullptr;
  if (within(m_hEditItem)) m_hEditItem = nullptr;
  if (within(m_hDropHighlight)) m_hDropHighlight = nullptr;
  delete node;
}

void CMainTreeView::ReloadShownFolderUnder(QTreeWidgetItem* node) {
  // A renamed folder (or one of its parents) being listed would leave the
  // list pointing at a path that no longer exists.
  CBrowseState& state = CBrowseState::Get();
  QTreeWidgetItem* shown = state.m_hShownFolder;
  bool under = false;
  for (QTreeWidgetItem* p = shown; p && !under; p = p->parent()) under = p == node;
  if (!under || !state.m_pFrame || state.GetViewName() != kViewSongList) return;
  if (auto* list = qobject_cast<CSongList*>(state.m_pFrame->GetRightView()))
    list->LoadFolder(FolderPathOf(shown));
}

// --- What the panes show ------------------------------------------------------

void CMainTreeView::OnFolderSelected(QTreeWidgetItem* node) { PaneSwitcher::ShowFor(node); }

// --- Songs dropped on a folder ------------------------------------------------

bool CMainTreeView::IsValidDropTarget(const QTreeWidgetItem* node) const {
  return node && IsDownloadedNode(node) && node != CBrowseState::Get().m_hShownFolder;
}

void CMainTreeView::SetDropHighlight(QTreeWidgetItem* node) {
  if (m_hDropHighlight == node) return;
  if (m_hDropHighlight) {
    m_hDropHighlight->setData(0, Qt::BackgroundRole, QVariant());
    m_hDropHighlight->setData(0, Qt::ForegroundRole, QVariant());
  }
  m_hDropHighlight = node;
  if (node) {
    node->setBackground(0, palette().highlight());
    node->setForeground(0, palette().highlightedText());
  }
}

void CMainTreeView::dragEnterEvent(QDragEnterEvent* event) {
  if (CBrowseState::Get().m_drag.m_bDragging && event->mimeData()->hasFormat(kSongDragMime))
    event->acceptProposedAction();
  else
    event->ignore();
}

void CMainTreeView::dragMoveEvent(QDragMoveEvent* event) {
  DragState& drag = CBrowseState::Get().m_drag;
  if (!drag.m_bDragging) {
    event->ignore();
    return;
  }
  if (QTreeWidgetItem* node = itemAt(event->position().toPoint())) {
    drag.m_hDropItem = node;
    drag.m_hLastHover = node;
  }
  // Over empty space the node highlighted last stays the target.
  SetDropHighlight(drag.m_hDropItem);
  // The drag shows the blank page where a drop would move the songs and the
  // no-entry sign elsewhere.
  drag.m_bDropImage = IsValidDropTarget(drag.m_hDropItem);
  if (drag.m_bDropImage) {
    event->setDropAction(Qt::MoveAction);
    event->accept();
  } else {
    event->ignore();
  }
}

void CMainTreeView::dragLeaveEvent(QDragLeaveEvent* event) {
  SetDropHighlight(nullptr);
  event->accept();
}

void CMainTreeView::EndDrag() {
  CBrowseState& state = CBrowseState::Get();
  state.m_drag.m_bDragging = false;
  state.ReleaseDragImages();
  SetDropHighlight(nullptr);
}

void CMainTreeView::dropEvent(QDropEvent* event) {
  DragState& drag = CBrowseState::Get().m_drag;
  if (!drag.m_bDragging) {
    event->ignore();
    return;
  }
  const bool fromSongList = qobject_cast<CSongList*>(drag.m_pDragSource.data()) != nullptr;
  EndDrag();
  if (fromSongList && IsValidDropTarget(drag.m_hDropItem)) MoveSongsToFolder();
  event->setDropAction(Qt::MoveAction);
  event->accept();
}

void CMainTreeView::MoveSongsToFolder() {
  CBrowseState& state = CBrowseState::Get();
  QTreeWidgetItem* shown = state.m_hShownFolder;
  QTreeWidgetItem* drop = state.m_drag.m_hDropItem;
  if (!shown || !drop) return;
  CSongList* list = state.m_pFrame ? qobject_cast<CSongList*>(state.m_pFrame->GetRightView()) : nullptr;
  if (!list) list = qobject_cast<CSongList*>(state.m_drag.m_pDragSource.data());
  if (!list) return;
  // The files that move are the ones listed, from the folder the list shows.
  const std::string source = list->Folder();
  if (source.empty()) return;
  const std::string target = FolderPathOf(drop);
  const std::vector<int> rows = list->SelectedRows();
  // From the last row up, so the indices still to come stay valid.
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    const std::string name = list->RowFileName(*it);
    if (MoveSongFile(JoinPath(source, name), JoinPath(target, name))) list->DeleteRow(*it);
  }
}
