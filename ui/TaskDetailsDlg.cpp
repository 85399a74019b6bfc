#include "ui/TaskDetailsDlg.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/DownloaderApp.h"
#include "engine/Common.h"
#include "res/Texts.h"
#include "ui/UiText.h"

namespace {

constexpr int kAddressRole = Qt::UserRole + 1;  // GBK address of a candidate row

QString Filled(const char* utf8, const QString& arg) { return QTxt(utf8).replace("%s", arg); }

QString KiloBytes(long long bytes) {
  std::string s = std::to_string(bytes / 1024);
  InsertThousandSeparators(s);
  return QString::fromStdString(s) + "KB";
}

QTableWidget* MakeTable(QWidget* parent, std::initializer_list<const char*> headers) {
  auto* t = new QTableWidget(parent);
  t->setColumnCount(static_cast<int>(headers.size()));
  QStringList labels;
  for (const char* h : headers) labels << QTxt(h);
  t->setHorizontalHeaderLabels(labels);
  t->verticalHeader()->hide();
  t->setSelectionBehavior(QAbstractItemView::SelectRows);
  t->setSelectionMode(QAbstractItemView::SingleSelection);
  t->setEditTriggers(QAbstractItemView::NoEditTriggers);
  t->setWordWrap(false);
  t->setTabKeyNavigation(false);  // Tab moves on to the next control
  t->horizontalHeader()->setStretchLastSection(true);
  return t;
}

void SetCell(QTableWidget* t, int row, int col, const QString& text, bool right = false, bool bold = false) {
  QTableWidgetItem* item = t->item(row, col);
  if (!item) {
    item = new QTableWidgetItem;
    t->setItem(row, col, item);
  }
  if (item->text() != text) item->setText(text);
  item->setTextAlignment((right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
  QFont f = item->font();
  if (f.bold() != bold) {
    f.setBold(bold);
    item->setFont(f);
  }
}

AudioFacts ChosenAudio(const TaskDetails& d) {
  for (const Candidate& c : d.m_candidates)
    if (c.m_eVerdict == CandidateVerdict::kChosen) return c.Audio();
  return {};
}

}  // namespace

CTaskDetailsDlg::CTaskDetailsDlg(CDownloaderApp& app, const std::string& name, QWidget* parent)
    : QDialog(parent), m_app(app), m_strName(name) {
  setObjectName("TaskDetailsDlg");
  setWindowTitle(Filled(txt::kDetailsTitle, QGbk(name)));
  auto* layout = new QVBoxLayout(this);

  auto* candTitle = new QLabel(QTxt(txt::kDetailsCandidates), this);
  m_pCandidates = MakeTable(this, {txt::kCandColRank, txt::kCandColHost, txt::kCandColSize, txt::kCandColTime,
                                   txt::kCandColRanges, txt::kCandColType, txt::kCandColVerdict,
                                   txt::kCandColBitrate, txt::kCandColLength});
  m_pCandidates->setObjectName("Candidates");
  candTitle->setBuddy(m_pCandidates);
  const int candWidths[] = {40, 260, 80, 70, 50, 110, 150, 90, 50};
  for (int c = 0; c < 9; ++c) m_pCandidates->setColumnWidth(c, candWidths[c]);
  m_pReason = new QLabel(this);
  m_pUseLink = new QPushButton(QTxt(txt::kDetailsUseLink), this);
  m_pUseLink->setObjectName("UseLink");
  m_pUseLink->setAutoDefault(false);

  auto* blockTitle = new QLabel(QTxt(txt::kDetailsBlocks), this);
  m_pBlocks = MakeTable(this, {txt::kBlockColNumber, txt::kBlockColRange, txt::kBlockColDone,
                               txt::kBlockColProgress, txt::kBlockColSpeed, txt::kBlockColText});
  m_pBlocks->setObjectName("Blocks");
  blockTitle->setBuddy(m_pBlocks);
  const int blockWidths[] = {40, 150, 90, 140, 80};
  for (int c = 0; c < 5; ++c) m_pBlocks->setColumnWidth(c, blockWidths[c]);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Close)->setText(QTxt(txt::kDetailsClose));
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* row = new QHBoxLayout;
  row->addWidget(m_pReason, 1);
  row->addWidget(m_pUseLink);
  layout->addWidget(candTitle);
  layout->addWidget(m_pCandidates, 3);
  layout->addLayout(row);
  layout->addWidget(blockTitle);
  layout->addWidget(m_pBlocks, 2);
  layout->addWidget(buttons);
  setTabOrder(m_pCandidates, m_pUseLink);
  setTabOrder(m_pUseLink, m_pBlocks);
  resize(1010, 520);

  connect(m_pUseLink, &QPushButton::clicked, this, [this] { UseSelectedLink(); });
  connect(m_pCandidates, &QTableWidget::itemSelectionChanged, this, [this] { UpdateButton(); });

  m_pTimer = new QTimer(this);
  m_pTimer->setInterval(kRefreshMs);
  connect(m_pTimer, &QTimer::timeout, this, &CTaskDetailsDlg::Refresh);
  m_pTimer->start();
  Refresh();
  m_pCandidates->setFocus();
}

CTaskDetailsDlg* CTaskDetailsDlg::Open(CDownloaderApp& app, const std::string& name, QWidget* parent) {
  QWidget* owner = parent ? parent->window() : nullptr;
  if (owner) {
    for (CTaskDetailsDlg* open : owner->findChildren<CTaskDetailsDlg*>()) {
      if (open->Name() == name) {
        open->show();
        open->raise();
        open->activateWindow();
        return open;
      }
    }
  }
  auto* dlg = new CTaskDetailsDlg(app, name, owner);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->show();
  return dlg;
}

void CTaskDetailsDlg::Refresh() {
  const TaskDetails d = m_app.GetTaskDetails(m_strName);
  FillCandidates(d);
  FillBlocks(d);
  UpdateButton();
}

void CTaskDetailsDlg::FillCandidates(const TaskDetails& d) {
  // The selection follows its address, not its row, as the ranking moves.
  const std::string selected = SelectedAddress();
  QTableWidget* t = m_pCandidates;
  t->setRowCount(static_cast<int>(d.m_candidates.size()));
  int reselect = -1;
  for (int row = 0; row < static_cast<int>(d.m_candidates.size()); ++row) {
    const Candidate& c = d.m_candidates[static_cast<size_t>(row)];
    const ProbeFigures& p = c.m_probe;
    const bool chosen = c.m_eVerdict == CandidateVerdict::kChosen;
    SetCell(t, row, 0, QString::number(row + 1), true, chosen);
    // The host alone cannot tell links apart: the path is beside it.
    SetCell(t, row, 1, QGbk(c.m_strHost + c.m_strPath), false, chosen);
    // The chosen link's job knows better than a probe (or no probe at all,
    // for a stored address): the file's length, and whether its blocks
    // came in ranges.
    long long length = p.m_nLength;
    bool ranges = p.m_bRanges, rangesKnown = c.m_bProbed;
    if (chosen && !d.m_blocks.empty() && d.m_blocks.back().m_nLast >= 0) {
      if (length < 0) length = d.m_blocks.back().m_nLast + 1;
      if (d.m_blocks.size() > 1 || d.m_blocks.front().m_nFirst > 0) ranges = rangesKnown = true;
    }
    SetCell(t, row, 2, length >= 0 ? KiloBytes(length) : QString(), true, chosen);
    // A link taken without a probe (a stored address) was timed by its job.
    int timeMs = c.m_bProbed ? p.m_nTimeMs : -1;
    if (chosen && timeMs < 0) timeMs = d.m_nJobAnswerMs;
    SetCell(t, row, 3, timeMs >= 0 ? QString::number(timeMs) : QString(), true, chosen);
    SetCell(t, row, 4, rangesKnown ? QTxt(ranges ? txt::kRangesYes : txt::kRangesNo) : QString(), false, chosen);
    SetCell(t, row, 5, QString::fromStdString(p.m_strContentType), false, chosen);
    SetCell(t, row, 6, QGbk(VerdictText(c)), false, chosen);
    const AudioFacts audio = c.Audio();
    SetCell(t, row, 7, QGbk(BitrateText(audio)), true, chosen);
    SetCell(t, row, 8, QString::fromStdString(LengthText(audio)), true, chosen);
    t->item(row, 0)->setData(kAddressRole, QByteArray::fromStdString(c.m_strAddress));
    // The whole address on hover: the host column alone cannot tell links apart.
    for (int col = 0; col < t->columnCount(); ++col) t->item(row, col)->setToolTip(QGbk(c.m_strAddress));
    if (!selected.empty() && c.m_strAddress == selected) reselect = row;
  }
  if (reselect >= 0 && t->currentRow() != reselect) t->selectRow(reselect);
  if (d.m_bEnded && d.m_bFinished) m_pReason->setText(Filled(txt::kDetailsFinished, QString::fromStdString(d.m_strEnding)));
  else if (d.m_bEnded) m_pReason->setText(QGbk(d.m_strEnding));
  else if (d.m_candidates.empty()) m_pReason->setText(QTxt(txt::kDetailsNoCandidates));
  else if (d.m_eReason != ChosenReason::kNone)
    m_pReason->setText(Filled(txt::kDetailsReason, QGbk(ChosenReasonText(d.m_eReason, ChosenAudio(d)))));
  else m_pReason->clear();
}

void CTaskDetailsDlg::FillBlocks(const TaskDetails& d) {
  const std::vector<BlockSnapshot>& blocks = d.m_blocks;
  QTableWidget* t = m_pBlocks;
  t->setRowCount(static_cast<int>(blocks.size()));
  for (int row = 0; row < static_cast<int>(blocks.size()); ++row) {
    const BlockSnapshot& b = blocks[static_cast<size_t>(row)];
    const long long length = b.m_nLast - b.m_nFirst + 1;
    SetCell(t, row, 0, QString::number(b.m_nBlock), true);
    SetCell(t, row, 1, QString::number(b.m_nFirst) + "-" + QString::number(b.m_nLast), true);
    SetCell(t, row, 2, KiloBytes(b.m_nBytes), true);
    auto* bar = qobject_cast<QProgressBar*>(t->cellWidget(row, 3));
    if (!bar) {
      bar = new QProgressBar(t);
      bar->setRange(0, 1000);
      bar->setFocusPolicy(Qt::NoFocus);
      t->setCellWidget(row, 3, bar);
    }
    const int permille = length > 0 ? static_cast<int>(std::min(b.m_nBytes, length) * 1000 / length) : 0;
    bar->setValue(permille);
    bar->setFormat(QString::number(permille / 10) + "%");
    SetCell(t, row, 4, b.m_nSpeed ? QString::number(*b.m_nSpeed / 1024) + "KB/S" : QString(), true);
    SetCell(t, row, 5, QGbk(b.m_strText));
  }
}

void CTaskDetailsDlg::keyPressEvent(QKeyEvent* event) {
  // Enter on a candidate row restarts on it, as the button does, instead of
  // closing the window as a dialog's default button would.
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && m_pCandidates->hasFocus()) {
    UseSelectedLink();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

std::string CTaskDetailsDlg::SelectedAddress() const {
  const QList<QTableWidgetItem*> items = m_pCandidates->selectedItems();
  for (QTableWidgetItem* item : items) {
    QTableWidgetItem* first = m_pCandidates->item(item->row(), 0);
    if (first) return first->data(kAddressRole).toByteArray().toStdString();
  }
  return {};
}

void CTaskDetailsDlg::UpdateButton() { m_pUseLink->setEnabled(!SelectedAddress().empty()); }

bool CTaskDetailsDlg::UseSelectedLink() {
  const std::string address = SelectedAddress();
  if (address.empty()) return false;
  const bool used = m_app.UseLink(m_strName, address) >= -1;
  Refresh();
  return used;
}
