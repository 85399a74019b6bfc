#include "app/WakeSignal.h"

void WakeSignal::Wake() {
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_bWoken = true;
  }
  m_cv.notify_all();
}

bool WakeSignal::Wait() {
  std::unique_lock<std::mutex> lk(m_lock);
  m_cv.wait(lk, [this] { return m_bWoken || m_bStopped; });
  if (m_bStopped) return false;
  m_bWoken = false;
  return true;
}

void WakeSignal::Stop() {
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_bStopped = true;
  }
  m_cv.notify_all();
}

bool WakeSignal::IsStopped() {
  std::lock_guard<std::mutex> lk(m_lock);
  return m_bStopped;
}
