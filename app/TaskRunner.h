#pragma once
// An active slot's task together with the task threads that run its
// activations. Owned by the slot, then by the reaper, which is the only
// place a task is cancelled and deleted.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include "task/TaskHost.h"

class CDownloadTask;

class TaskRunner {
 public:
  // Makes the task; call with no application lock held.
  TaskRunner(ITaskHost& host, const std::string& name);
  ~TaskRunner();
  TaskRunner(const TaskRunner&) = delete;
  TaskRunner& operator=(const TaskRunner&) = delete;

  // Starts a task thread on a new activation; does not wait for anything.
  void Start();
  // Threads whose activation has returned, for the caller to join.
  std::vector<std::thread> TakeFinishedThreads();
  // Cancels the task, joins its threads and deletes it. Never call it on a
  // thread of the task.
  void Finish();

  CDownloadTask* Task() const { return m_pTask.get(); }
  const std::string& Name() const { return m_strName; }

 private:
  struct TaskThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  const std::string m_strName;
  std::unique_ptr<CDownloadTask> m_pTask;
  std::vector<TaskThread> m_threads;
};
