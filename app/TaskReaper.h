#pragma once
// The one thread that stops and deletes tasks. A task may end itself from
// one of its own threads (its success removes it), and no thread can join
// itself, so every slot that lets a task go hands it here instead.
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TaskRunner;

// Told on the reaper's thread after each task is gone.
class IReapListener {
 public:
  virtual ~IReapListener() = default;
  virtual void OnTaskReaped(const std::string& name) = 0;
};

class TaskReaper {
 public:
  explicit TaskReaper(IReapListener& listener);
  // Stops the thread after the queue drains.
  ~TaskReaper();
  TaskReaper(const TaskReaper&) = delete;
  TaskReaper& operator=(const TaskReaper&) = delete;

  void Start();
  // Queues runner for finishing; null is ignored.
  void Hand(std::unique_ptr<TaskRunner> runner);
  // Blocks until every task handed so far is deleted, or the thread is gone.
  // Never call it from a task's thread.
  void WaitUntilIdle();
  // Finishes what is queued, then ends the thread.
  void Stop();

 private:
  void ThreadProc();

  IReapListener& m_listener;
  std::mutex m_lock;
  std::condition_variable m_cv;
  std::deque<std::unique_ptr<TaskRunner>> m_queue;
  int m_nReaping = 0;
  bool m_bStop = false;
  bool m_bRunning = false;
  std::thread m_thread;
};
