#pragma once
// The scheduler's auto-reset wake signal: any number of wakes before a wait
// make one pass, a wake during a pass is never lost, and a stop ends every
// wait for good.
#include <condition_variable>
#include <mutex>

class WakeSignal {
 public:
  void Wake();
  // Blocks until woken (true, and the signal resets) or stopped (false).
  bool Wait();
  void Stop();
  bool IsStopped();

 private:
  std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_bWoken = false;
  bool m_bStopped = false;
};
