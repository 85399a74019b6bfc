#pragma once
// Starts a job so that another thread may stop it while its Start still
// waits for the file's length: a cancel or a new activation must not wait
// as long as a stalled server keeps the job asking. Its lock is a leaf.
#include <condition_variable>
#include <functional>
#include <mutex>

class CBlockDownloader;

class CJobStarter {
 public:
  // Runs CBlockDownloader::Start(job) unless skip() says not to, and
  // returns once no StopStarting is still on the job (it may then go).
  void Start(CBlockDownloader* job, const std::function<bool()>& skip);
  // Stops the job being started, if there is one; any thread.
  void StopStarting();

 private:
  std::mutex m_lock;
  std::condition_variable m_cv;
  CBlockDownloader* m_pJob = nullptr;  // m_lock
  int m_nStoppers = 0;                 // m_lock
};
