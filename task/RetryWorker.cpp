#include "task/RetryWorker.h"

CRetryWorker::~CRetryWorker() {
  Close();
  Join();
}

void CRetryWorker::Post(uint64_t serial) {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_bClosed) return;
  m_queue.push_back(serial);
  if (!m_thread.joinable()) m_thread = std::thread([this] { Loop(); });
  m_cv.notify_all();
}

void CRetryWorker::Close() {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_bClosed = true;
    m_queue.clear();
  }
  m_cv.notify_all();
}

void CRetryWorker::Join() {
  // Post starts no thread once closed, so this one is the last.
  std::thread t;
  {
    std::lock_guard<std::mutex> g(m_lock);
    t = std::move(m_thread);
  }
  if (t.joinable()) t.join();
}

void CRetryWorker::Loop() {
  for (;;) {
    uint64_t serial;
    {
      std::unique_lock<std::mutex> g(m_lock);
      m_cv.wait(g, [this] { return m_bClosed || !m_queue.empty(); });
      if (m_bClosed) return;
      serial = m_queue.front();
      m_queue.pop_front();
    }
    m_run(serial);
  }
}
