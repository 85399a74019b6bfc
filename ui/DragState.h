#pragma once
// State the folder tree and the song list share on the UI thread: the drag
// of songs from the list onto a folder, the node selected last, and the
// frame whose panes the tree switches. Tree nodes are UI objects, so this
// lives here and not in the application object.
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <string>

class IBrowseFrame;
class QTreeWidgetItem;

// Mime type of a drag of songs inside the program.
inline constexpr const char kSongDragMime[] = "application/x-virelomp3-songs";

struct DragState {
  bool m_bDragging = false;
  // Image 0 a no-entry sign, image 1 a blank page; null outside a drag.
  QPixmap m_pDragImages[2];
  QPointer<QWidget> m_pDragSource;
  QTreeWidgetItem* m_hDropItem = nullptr;
  bool m_bDropImage = false;
  QTreeWidgetItem* m_hLastHover = nullptr;
};

class CBrowseState {
 public:
  static CBrowseState& Get();

  DragState m_drag;
  // The node selected last; for folder nodes the folder the song list shows.
  QTreeWidgetItem* m_hShownFolder = nullptr;
  IBrowseFrame* m_pFrame = nullptr;

  // The arrangement of the panes; kept by the application object when there
  // is one, here otherwise (views shown on their own).
  std::string GetViewName() const;
  void SetViewName(const std::string& name);

  // Drops every reference to node and its descendants before they go away.
  void ForgetItem(const QTreeWidgetItem* node);
  // Loads the two drag images (the song list does so when a drag starts).
  void LoadDragImages();
  void ReleaseDragImages();
  // Back to the start state (used when a frame or test begins afresh).
  void Reset();

 private:
  std::string m_strViewName;
};

// Loads the tree's icons and drag images compiled into the library.
void InitBrowseResources();
