#pragma once
// The scheduler thread: one first pass for the start-up work, then it
// sleeps until woken, gives every queued entry an active slot while slots
// are free, has the table saved and sleeps again. It owns no table: it asks
// its host for the next queued name and to activate it, so the order and
// the stopping rules can be driven without tasks behind them.
#include <atomic>
#include <string>
#include <thread>

#include "app/WakeSignal.h"

class ISchedulerHost {
 public:
  virtual ~ISchedulerHost() = default;
  enum class Next { kFound, kNone, kClosing };
  // Once, on the scheduler's thread, before its first sleep.
  virtual void OnFirstPass() = 0;
  // The first queued entry at place from or later: its place and name.
  // kClosing ends the pass without a save.
  virtual Next NextQueued(int from, int& at, std::string& name) = 0;
  // Activates name and marks its entry running; false when no slot was
  // free (the pass ends there).
  virtual bool ActivateQueued(const std::string& name) = 0;
  // The end of a pass that ran to its end.
  virtual void AfterPass() = 0;
};

class TaskScheduler {
 public:
  explicit TaskScheduler(ISchedulerHost& host) : m_host(host) {}
  // Stops and joins the thread.
  ~TaskScheduler();
  TaskScheduler(const TaskScheduler&) = delete;
  TaskScheduler& operator=(const TaskScheduler&) = delete;

  void Start();
  // A wake during a pass makes one more pass; it is never lost.
  void Wake() { m_wake.Wake(); }
  // Ends the thread (a pass under way stops at its next entry) and joins
  // it, unless called on the scheduler's own thread.
  void Stop();
  // True once the first pass has run.
  bool Started() const { return m_bSchedulerStarted.load(); }

 private:
  void ThreadProc();
  void Pass();

  ISchedulerHost& m_host;
  WakeSignal m_wake;
  std::thread m_thread;
  std::atomic<bool> m_bSchedulerStarted{false};
};
