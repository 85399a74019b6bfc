#pragma once
// The download list: one row per task of the table, in slot order, keyed by
// the task name (column 0, compared byte for byte as GBK).
#include <QTableWidget>
#include <string>
#include <vector>

class CDownloaderApp;

class CDowningList : public QTableWidget {
  Q_OBJECT
 public:
  enum Command { kCmdStart = 32775, kCmdStop = 32776, kCmdDelete = 32777, kCmdDetails = 32778 };
  static constexpr int kColumns = 11;

  explicit CDowningList(QWidget* parent = nullptr);

  // Discards all rows and fills them from the task table in slot order.
  void RefreshList();
  // Row whose column 0 equals name, -1 when none.
  int FindListRow(const std::string& name) const;
  void SetListText(int row, int column, const std::string& text);
  // Deletes the row of name, if any.
  void DeleteListRow(const std::string& name);
  // The GBK text of a cell ("" when the cell is empty).
  std::string CellText(int row, int column) const;

  void OnStart();
  void OnStop();
  void OnDelete();
  // The details window of the row's task (the first selected row when -1).
  void OnDetails(int row = -1);

  int RightClickItem() const { return m_nRightClickItem; }

 signals:
  // The context menu is about to open (tests close it from here).
  void ContextMenuOpening();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void ShowContextMenu(const QPoint& globalPos);
  std::vector<std::string> SelectedNames() const;  // row order

  int m_nRightClickItem = -1;
};
