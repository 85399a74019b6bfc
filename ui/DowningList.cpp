#include "ui/DowningList.h"

#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QShortcut>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QApplication>

#include <algorithm>
#include <cstdlib>

#include "app/DownloaderApp.h"
#include "app/TaskFiles.h"
#include "engine/Common.h"
#include "res/texts/CandidateTexts.h"
#include "res/texts/TaskTexts.h"
#include "res/texts/UiTexts.h"
#include "ui/TaskDetailsDlg.h"
#include "ui/UiText.h"

namespace {

constexpr int kNameRole = Qt::UserRole + 1;  // GBK bytes of column 0

struct ColumnDef {
  const char* header;
  int width;
  bool right;
};
constexpr ColumnDef kColumnDefs[CDowningList::kColumns] = {
    {txt::kDlColName, 90, false},     {txt::kDlColSize, 60, true},     {txt::kDlColDone, 60, true},
    {txt::kDlColPercent, 50, true},   {txt::kDlColElapsed, 50, true},  {txt::kDlColRemaining, 50, true},
    {txt::kDlColSpeed, 50, true},     {txt::kDlColUrl, 150, false},    {txt::kDlColBlocks, 50, true},
    {txt::kDlColState, 50, false},    {txt::kDlColRetries, 50, true},
};
constexpr int kPercentColumn = 3;

// The percent cell as a bar behind its own text; the text stays what the
// task wrote, the bar follows its leading number.
class CPercentDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QString text = index.data(Qt::DisplayRole).toString();
    if (text.isEmpty()) {
      QStyledItemDelegate::paint(painter, option, index);
      return;
    }
    QStyleOptionProgressBar bar;
    bar.rect = option.rect.adjusted(1, 1, -1, -1);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = std::clamp(std::atoi(text.toLatin1().constData()), 0, 100);
    bar.text = text;
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    bar.state = option.state | QStyle::State_Horizontal;
    bar.palette = option.palette;
    const QWidget* w = option.widget;
    QStyle* style = w ? w->style() : QApplication::style();
    if (option.state & QStyle::State_Selected) painter->fillRect(option.rect, option.palette.highlight());
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, w);
  }
};

}  // namespace

CDowningList::CDowningList(QWidget* parent) : QTableWidget(parent) {
  setObjectName(kViewDowningList);
  setColumnCount(kColumns);
  QStringList headers;
  for (const ColumnDef& c : kColumnDefs) headers << QTxt(c.header);
  setHorizontalHeaderLabels(headers);
  for (int c = 0; c < kColumns; ++c) {
    setColumnWidth(c, kColumnDefs[c].width);
    horizontalHeaderItem(c)->setTextAlignment((kColumnDefs[c].right ? Qt::AlignRight : Qt::AlignLeft) |
                                              Qt::AlignVCenter);
  }
  horizontalHeader()->setStretchLastSection(false);
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(true);
  setWordWrap(false);
  // The right button is ours: press selects, release on the same row opens
  // the menu. The widget's own context-menu event would race with that.
  setContextMenuPolicy(Qt::PreventContextMenu);
  setItemDelegateForColumn(kPercentColumn, new CPercentDelegate(this));
  // Double-click, or Enter on a row, opens the task's details.
  connect(this, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { OnDetails(row); });
  for (int key : {Qt::Key_Return, Qt::Key_Enter})
    connect(new QShortcut(QKeySequence(key), this, nullptr, nullptr, Qt::WidgetShortcut), &QShortcut::activated, this,
            [this] { OnDetails(currentRow()); });
  RefreshList();
}

void CDowningList::RefreshList() {
  setRowCount(0);
  CDownloaderApp* app = GetApp();
  if (!app) return;
  const std::vector<TaskEntry> entries = app->GetEntriesInSlotOrder();
  setRowCount(static_cast<int>(entries.size()));
  for (int row = 0; row < static_cast<int>(entries.size()); ++row) {
    const TaskEntry& e = entries[row];
    for (int c = 0; c < kColumns; ++c) SetListText(row, c, EntryColumn(e, c));
    item(row, 0)->setData(kNameRole, QByteArray(e.m_szName));
  }
}

int CDowningList::FindListRow(const std::string& name) const {
  const QByteArray key = QByteArray::fromStdString(name);
  for (int row = 0; row < rowCount(); ++row) {
    const QTableWidgetItem* it = item(row, 0);
    if (it && it->data(kNameRole).toByteArray() == key) return row;
  }
  return -1;
}

void CDowningList::SetListText(int row, int column, const std::string& text) {
  if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns) return;
  QTableWidgetItem* it = item(row, column);
  if (!it) {
    it = new QTableWidgetItem;
    it->setTextAlignment((kColumnDefs[column].right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    setItem(row, column, it);
  }
  it->setData(Qt::UserRole, QByteArray::fromStdString(text));
  it->setText(QGbk(text));
  if (column == 0) it->setData(kNameRole, QByteArray::fromStdString(text));
}

std::string CDowningList::CellText(int row, int column) const {
  const QTableWidgetItem* it = item(row, column);
  return it ? it->data(Qt::UserRole).toByteArray().toStdString() : std::string();
}

void CDowningList::DeleteListRow(const std::string& name) {
  const int row = FindListRow(name);
  if (row >= 0) removeRow(row);
}

std::vector<std::string> CDowningList::SelectedNames() const {
  std::vector<std::string> names;
  const QItemSelectionModel* sel = selectionModel();
  for (int row = 0; row < rowCount(); ++row)
    if (sel->isRowSelected(row, QModelIndex())) names.push_back(CellText(row, 0));
  return names;
}

void CDowningList::OnStart() {
  std::string text;
  for (const std::string& name : SelectedNames()) text += name + ";";
  CDownloaderApp* app = GetApp();
  if (!text.empty() && app) app->AddTasks(text);
}

void CDowningList::OnStop() {
  CDownloaderApp* app = GetApp();
  if (!app) return;
  for (const std::string& name : SelectedNames()) app->StopTask(name);
}

void CDowningList::OnDelete() {
  CDownloaderApp* app = GetApp();
  if (!app) return;
  std::vector<std::string> removed;
  const QItemSelectionModel* sel = selectionModel();
  for (int row = rowCount() - 1; row >= 0; --row) {
    if (!sel->isRowSelected(row, QModelIndex())) continue;
    std::string name = CellText(row, 0);
    removeRow(row);
    app->RemoveTask(name);
    removed.push_back(std::move(name));
  }
  if (removed.empty()) return;
  // A stopping block thread may still write its file; let the reaper finish
  // the removed tasks before their files go.
  app->WaitForReaper();
  DeleteTaskFiles(removed, app->GetTaskNames());
}

void CDowningList::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::RightButton) {
    QTableWidget::mousePressEvent(event);
    return;
  }
  const QModelIndex hit = indexAt(event->position().toPoint());
  m_nRightClickItem = hit.isValid() ? hit.row() : -1;
  if (m_nRightClickItem >= 0 && !selectionModel()->isRowSelected(m_nRightClickItem, QModelIndex())) {
    clearSelection();
    setCurrentIndex(hit);
    selectRow(m_nRightClickItem);
  }
  // The control's own right-button handling (it would move the selection)
  // is not run.
  event->accept();
}

void CDowningList::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::RightButton) {
    QTableWidget::mouseReleaseEvent(event);
    return;
  }
  event->accept();
  const QModelIndex hit = indexAt(event->position().toPoint());
  if (m_nRightClickItem != -1 && hit.isValid() && hit.row() == m_nRightClickItem)
    ShowContextMenu(viewport()->mapToGlobal(event->position().toPoint()));
}

void CDowningList::ShowContextMenu(const QPoint& globalPos) {
  QMenu menu(this);
  menu.addAction(QTxt(txt::kListStart), this, &CDowningList::OnStart)->setData(kCmdStart);
  menu.addAction(QTxt(txt::kListStop), this, &CDowningList::OnStop)->setData(kCmdStop);
  menu.addAction(QTxt(txt::kListDelete), this, &CDowningList::OnDelete)->setData(kCmdDelete);
  menu.addAction(QTxt(txt::kListDetails), this, [this] { OnDetails(m_nRightClickItem); })->setData(kCmdDetails);
  emit ContextMenuOpening();
  menu.exec(globalPos);
}

void CDowningList::OnDetails(int row) {
  if (row < 0) {
    const std::vector<std::string> names = SelectedNames();
    row = names.empty() ? -1 : FindListRow(names.front());
  }
  CDownloaderApp* app = GetApp();
  if (!app || row < 0 || row >= rowCount()) return;
  CTaskDetailsDlg::Open(*app, CellText(row, 0), this);
}
