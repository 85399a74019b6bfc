#include "app/TaskReaper.h"

#include "app/TaskRunner.h"

TaskReaper::TaskReaper(IReapListener& listener) : m_listener(listener) {}

TaskReaper::~TaskReaper() { Stop(); }

void TaskReaper::Start() {
  std::lock_guard<std::mutex> lk(m_lock);
  if (m_bRunning || m_bStop) return;
  m_bRunning = true;
  m_thread = std::thread(&TaskReaper::ThreadProc, this);
}

void TaskReaper::Hand(std::unique_ptr<TaskRunner> runner) {
  if (!runner) return;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_queue.push_back(std::move(runner));
  }
  m_cv.notify_all();
}

void TaskReaper::ThreadProc() {
  std::unique_lock<std::mutex> lk(m_lock);
  for (;;) {
    m_cv.wait(lk, [this] { return m_bStop || !m_queue.empty(); });
    if (m_queue.empty()) break;  // asked to stop and nothing left
    std::unique_ptr<TaskRunner> runner = std::move(m_queue.front());
    m_queue.pop_front();
    ++m_nReaping;
    lk.unlock();
    runner->Finish();  // cancel, join its task threads, stop the job, delete
    const std::string name = runner->Name();
    runner.reset();
    m_listener.OnTaskReaped(name);
    lk.lock();
    --m_nReaping;
    m_cv.notify_all();
  }
  m_bRunning = false;
  m_cv.notify_all();
}

void TaskReaper::WaitUntilIdle() {
  std::unique_lock<std::mutex> lk(m_lock);
  m_cv.wait(lk, [this] { return (m_queue.empty() && m_nReaping == 0) || !m_bRunning; });
}

void TaskReaper::Stop() {
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_bStop = true;
  }
  m_cv.notify_all();
  if (m_thread.joinable()) m_thread.join();
}
