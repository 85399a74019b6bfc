#pragma once
// The navigation tree: the fixed nodes (download list, news, categories)
// and, below "已下载", one node per directory of the downloaded folder.
// Selecting a node decides what the panes show; the folder nodes can be
// created, renamed and deleted, and receive songs dragged from the list.
#include <QIcon>
#include <QTreeWidget>
#include <functional>
#include <string>

class QLineEdit;

class CMainTreeView : public QTreeWidget {
  Q_OBJECT
 public:
  enum Command { kCmdNewSibling = 32771, kCmdDelete = 32772, kCmdRename = 32773, kCmdNewChild = 32774 };
  // Folder names are cut to this many GBK bytes while typing.
  static constexpr int kMaxNameBytes = 16;

  explicit CMainTreeView(QWidget* parent = nullptr);
  ~CMainTreeView() override;

  // Directory of a folder node on disk, with `text` standing for the node's
  // own name: program directory + "/已下载/" + ancestors + text.
  static std::string GetFolderPath(const QTreeWidgetItem* node, const QString& text);
  // The same for the node's own name, by its bytes on disk.
  static std::string FolderPathOf(const QTreeWidgetItem* node);
  // A node's name on disk, byte for byte (a folder copied from an old
  // disk may have a GBK name); the shown text for nodes without a folder.
  static std::string NodeName(const QTreeWidgetItem* node);
  static void SetNodeName(QTreeWidgetItem* node, const std::string& bytes);
  // The node or one of its ancestors is the top-level "已下载".
  static bool IsDownloadedNode(const QTreeWidgetItem* node);
  static bool IsDownloadedRoot(const QTreeWidgetItem* node);
  // Another child of node's parent already has exactly this text.
  bool IsNameTaken(const QTreeWidgetItem* node, const QString& name) const;

  QTreeWidgetItem* NewsItem() const { return m_hNewsItem; }
  QTreeWidgetItem* DownloadedItem() const { return m_hDownloadedItem; }
  QTreeWidgetItem* RightClickItem() const { return m_hRightClickItem; }
  bool IsLabelEditEnabled() const { return m_bLabelEdit; }
  // The open label editor, or null.
  QLineEdit* LabelEditor() const;

  void OnNewSibling();
  void OnNewChild();
  void OnRename();
  void OnDelete();
  void OnFolderSelected(QTreeWidgetItem* node);
  // Moves the selected songs of the list from the shown folder into the
  // node last highlighted as drop target.
  void MoveSongsToFolder();
  void EnableLabelEdit(bool on);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

 private:
  QTreeWidgetItem* AddNode(QTreeWidgetItem* parent, const QString& text);
  void LoadFolders(const std::string& dir, QTreeWidgetItem* parent);
  QTreeWidgetItem* HitNode(const QPoint& pos) const;
  void ShowFolderMenu(const QPoint& globalPos);
  void StartLabelEdit(QTreeWidgetItem* node);
  void EndLabelEdit(QTreeWidgetItem* node, const QString& text, bool abandoned);
  void RemoveNode(QTreeWidgetItem* node);
  void ReloadShownFolderUnder(QTreeWidgetItem* node);
  void SetDropHighlight(QTreeWidgetItem* node);
  bool IsValidDropTarget(const QTreeWidgetItem* node) const;
  void EndDrag();
  // The tree's "提示" question about node; the matching answer runs when
  // the box closes, neither when node is gone by then.
  void Ask(const char* text, QTreeWidgetItem* node, std::function<void()> onOk,
           std::function<void()> onCancel = {});
  bool HasNode(const QTreeWidgetItem* node) const;

  QIcon m_folderIcon;      // image 0, image 1 while selected
  QIcon m_newFolderIcon;   // image 0 in both states
  QTreeWidgetItem* m_hRightClickItem = nullptr;
  bool m_bWasSelected = false;
  QTreeWidgetItem* m_hNewItem = nullptr;
  QTreeWidgetItem* m_hNewsItem = nullptr;
  QTreeWidgetItem* m_hDownloadedItem = nullptr;
  QTreeWidgetItem* m_hEditItem = nullptr;  // node whose label is being edited
  QTreeWidgetItem* m_hDropHighlight = nullptr;
  bool m_bRenaming = false;
  bool m_bLabelEdit = false;
  QString m_strOldName;
};
