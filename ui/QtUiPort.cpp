#include "ui/QtUiPort.h"

#include <QMetaObject>
#include <QWidget>

#include "res/texts/AppTexts.h"
#include "res/texts/UiTexts.h"
#include "ui/DowningList.h"
#include "ui/MessageBoxes.h"
#include "ui/UiText.h"

CQtUiPort::CQtUiPort(ListLocator locate, QObject* parent) : QObject(parent), m_locate(std::move(locate)) {}

CQtUiPort::~CQtUiPort() = default;

void CQtUiPort::MessageBox(const std::string& text, const std::string& caption) {
  // Queued even from the UI thread: the core expects the call to return
  // at once, and a modal loop inside a command handler would re-enter it.
  QMetaObject::invokeMethod(this, [this, text, caption] { ShowMessage(text, caption); }, Qt::QueuedConnection);
}

void CQtUiPort::ShowMessage(const std::string& text, const std::string& caption) {
  const QString qtext = QGbk(text);
  const QString qcaption = caption.empty() ? QTxt(txt::kAppName) : QGbk(caption);
  // The same message again (a full table at each wake of the scheduler)
  // brings the box already on screen forward instead of piling up boxes.
  if (m_bShowBoxes) CMessageBoxes::Show(qobject_cast<QWidget*>(parent()), qtext, qcaption, false);
  emit MessageShown(qtext, qcaption);
}

void CQtUiPort::SetListText(const std::string& name, int column, const std::string& text) {
  if (column < 0 || column > 10) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  auto [it, added] = m_pending.try_emplace(name);
  if (added) m_order.push_back(name);
  it->second.cells[column] = text;
  PostFlush();
}

void CQtUiPort::DeleteListRow(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto [it, added] = m_pending.try_emplace(name);
  if (added) m_order.push_back(name);
  // Older cell texts are for the row being deleted; drop them.
  it->second.cells = {};
  it->second.deleted = true;
  PostFlush();
}

void CQtUiPort::PostFlush() {
  if (m_bFlushPosted) return;
  m_bFlushPosted = true;
  QMetaObject::invokeMethod(this, [this] { Flush(); }, Qt::QueuedConnection);
}

void CQtUiPort::Flush() {
  std::map<std::string, Pending> pending;
  std::vector<std::string> order;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    pending.swap(m_pending);
    order.swap(m_order);
    m_bFlushPosted = false;
  }
  CDowningList* list = m_locate ? m_locate() : nullptr;
  if (!list) return;
  for (const std::string& name : order) {
    const Pending& p = pending[name];
    if (p.deleted) list->DeleteListRow(name);
    const int row = list->FindListRow(name);
    if (row < 0) continue;
    for (int c = 0; c < 11; ++c)
      if (p.cells[c]) list->SetListText(row, c, *p.cells[c]);
  }
}
