#include "app/TaskScheduler.h"

TaskScheduler::~TaskScheduler() { Stop(); }

void TaskScheduler::Start() {
  if (!m_thread.joinable() && !m_wake.IsStopped()) m_thread = std::thread(&TaskScheduler::ThreadProc, this);
}

void TaskScheduler::Stop() {
  m_wake.Stop();
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void TaskScheduler::ThreadProc() {
  if (!m_bSchedulerStarted) {
    m_bSchedulerStarted = true;
    m_host.OnFirstPass();
  }
  while (m_wake.Wait()) Pass();
}

void TaskScheduler::Pass() {
  // A scan that activated anything is followed by another: an entry queued
  // behind the scan meanwhile is not left for the next wake.
  bool found = true;
  bool full = false;
  while (found && !full) {
    found = false;
    for (int from = 0;;) {
      if (m_wake.IsStopped()) return;
      int at = -1;
      std::string name;
      const ISchedulerHost::Next next = m_host.NextQueued(from, at, name);
      if (next == ISchedulerHost::Next::kClosing) return;
      if (next == ISchedulerHost::Next::kNone) break;
      found = true;
      if (!m_host.ActivateQueued(name)) {
        full = true;
        break;
      }
      from = at + 1;
    }
  }
  m_host.AfterPass();
}
