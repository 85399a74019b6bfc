// The task host's side of the bundled server: a search on the built-in
// engine makes sure something of ours answers there, and asks it where it
// really is.
#include "app/DownloaderApp.h"

std::string CDownloaderApp::BeforeSearch(const std::string& url, const std::function<bool()>& cancelled) {
  if (!m_pServer) return url;
  bool start = !m_bRefused && m_options.bAutoStartServer;
  if (start) {
    std::lock_guard<std::mutex> lk(m_lock);
    start = m_bAutoStartServer;
  }
  if (start)
    m_pServer->EnsureFor(url, [this, &cancelled] { return m_bExiting.load() || (cancelled && cancelled()); });
  // Without a start too: another user's listener on the port is never asked.
  return m_pServer->AddressFor(url);
}

std::string CDownloaderApp::StoredFormOf(const std::string& url) {
  return m_pServer ? m_pServer->StoredFormOf(url) : url;
}
