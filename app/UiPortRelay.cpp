#include "app/UiPortRelay.h"

// Counts one call in flight for its lifetime. The port's calls never wait
// for the UI thread, so a SetPort waiting on them waits briefly.
class UiPortRelay::Call {
 public:
  explicit Call(UiPortRelay& relay) : m_relay(relay), m_pPort(relay.Acquire()) {}
  ~Call() {
    if (m_pPort) m_relay.Release();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  IUiPort* Port() const { return m_pPort; }

 private:
  UiPortRelay& m_relay;
  IUiPort* const m_pPort;
};

void UiPortRelay::SetPort(IUiPort* port) {
  std::vector<std::pair<std::string, std::string>> kept;
  {
    std::unique_lock<std::mutex> lk(m_lock);
    m_idle.wait(lk, [this] { return m_nCalls == 0; });
    m_pPort = port;
    if (port) kept.swap(m_kept);
  }
  for (auto& [text, caption] : kept) ShowMessage(text, caption);
}

IUiPort* UiPortRelay::Acquire() {
  std::lock_guard<std::mutex> lk(m_lock);
  if (!m_pPort) return nullptr;
  ++m_nCalls;
  return m_pPort;
}

void UiPortRelay::Release() {
  std::lock_guard<std::mutex> lk(m_lock);
  if (--m_nCalls == 0) m_idle.notify_all();
}

void UiPortRelay::ShowMessage(const std::string& text, const std::string& caption) {
  {
    std::lock_guard<std::mutex> lk(m_lock);
    if (!m_pPort) {
      if (m_kept.size() < kMaxKeptMessages) m_kept.emplace_back(text, caption);
      return;
    }
  }
  Call call(*this);
  if (call.Port()) call.Port()->MessageBox(text, caption);
}

void UiPortRelay::SetListText(const std::string& name, int column, const std::string& text) {
  Call call(*this);
  if (call.Port()) call.Port()->SetListText(name, column, text);
}

void UiPortRelay::DeleteListRow(const std::string& name) {
  Call call(*this);
  if (call.Port()) call.Port()->DeleteListRow(name);
}
