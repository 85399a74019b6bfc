// The task host's side of the bundled server: a search on the built-in
// engine makes sure something answers there.
#include "app/DownloaderApp.h"

void CDownloaderApp::BeforeSearch(const std::string& url, const std::function<bool()>& cancelled) {
  if (m_bRefused || !m_pServer || !m_options.bAutoStartServer) return;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    if (!m_bAutoStartServer) return;
  }
  m_pServer->EnsureFor(url, [this, &cancelled] { return m_bExiting.load() || (cancelled && cancelled()); });
}
