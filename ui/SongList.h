#pragma once
// The songs of one folder of the downloaded folder with their sizes: played
// with the system's player, deleted, or dragged onto another folder.
#include <QTreeWidget>
#include <QUrl>
#include <string>
#include <vector>

class CSongList : public QTreeWidget {
  Q_OBJECT
 public:
  enum Command { kCmdPlay = 32778, kCmdDelete = 32779 };

  explicit CSongList(QWidget* parent = nullptr);

  // Lists the song files of a directory (a path on disk, no trailing "/").
  void LoadFolder(const std::string& path);
  const std::string& Folder() const { return m_strFolder; }

  void OnPlay();
  void OnDelete();

  // Rows of the selection in ascending order.
  std::vector<int> SelectedRows() const;
  // The name on disk (its bytes) of the file a row lists.
  std::string RowFileName(int row) const;
  // How a name on disk is shown: UTF-8 as it is, else GBK, else with the
  // bad bytes replaced.
  static QString DisplayName(const std::string& bytes);
  // A file: address that keeps every byte of path.
  static QUrl FileUrl(const std::string& path);
  void DeleteRow(int row);
  int RightClickItem() const { return m_nRightClickItem; }

  // The start of a drag of the selected songs; the Qt drag runs between
  // these two (split out so the drop side can be driven without it).
  void BeginSongDrag();
  void EndSongDrag();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void startDrag(Qt::DropActions supportedActions) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void PlayFile(const std::string& name);
  void ShowContextMenu(const QPoint& globalPos);

  std::string m_strFolder;
  int m_nRightClickItem = -1;
};
