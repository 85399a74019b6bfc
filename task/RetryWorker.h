#pragma once
// A thread of its own that runs the retries of failed downloads, so a job
// is always stopped and deleted by a thread that is not one of its own.
// Reports queue up in order; the thread starts with the first one.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class CRetryWorker {
 public:
  // run gets each posted serial in turn, on the worker thread.
  explicit CRetryWorker(std::function<void(uint64_t serial)> run) : m_run(std::move(run)) {}
  ~CRetryWorker();
  CRetryWorker(const CRetryWorker&) = delete;
  CRetryWorker& operator=(const CRetryWorker&) = delete;

  // Queues serial; refused once Close was called.
  void Post(uint64_t serial);
  // Drops what is queued and refuses more; the running one finishes.
  void Close();
  // Waits for the thread to end. Close first, from another thread.
  void Join();

 private:
  void Loop();

  std::function<void(uint64_t)> m_run;
  std::mutex m_lock;
  std::condition_variable m_cv;
  std::deque<uint64_t> m_queue;  // m_lock
  bool m_bClosed = false;        // m_lock
  std::thread m_thread;          // started under m_lock
};
