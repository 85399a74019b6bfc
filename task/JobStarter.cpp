#include "task/JobStarter.h"

#include "engine/job/BlockDownloader.h"

void CJobStarter::Start(CBlockDownloader* job, const std::function<bool()>& skip) {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_pJob = job;
  }
  // Asked after the job is known here: a stopper that came earlier has
  // already made skip() true.
  if (!skip()) CBlockDownloader::Start(job);
  std::unique_lock<std::mutex> g(m_lock);
  m_cv.wait(g, [this] { return m_nStoppers == 0; });
  m_pJob = nullptr;
}

void CJobStarter::StopStarting() {
  CBlockDownloader* job;
  {
    std::lock_guard<std::mutex> g(m_lock);
    job = m_pJob;
    if (!job) return;
    ++m_nStoppers;
  }
  // Twice: a Stop that lands just before Start takes the job is undone by
  // Start; the second one then aborts it, or stops what it started.
  job->Stop();
  job->Stop();
  std::lock_guard<std::mutex> g(m_lock);
  --m_nStoppers;
  m_cv.notify_all();
}
