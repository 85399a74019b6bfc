#include "app/TaskRunner.h"

#include "task/DownloadTask.h"

TaskRunner::TaskRunner(ITaskHost& host, const std::string& name)
    : m_strName(name), m_pTask(std::make_unique<CDownloadTask>(host, name)) {}

TaskRunner::~TaskRunner() { Finish(); }

void TaskRunner::Start() {
  auto done = std::make_shared<std::atomic<bool>>(false);
  CDownloadTask* task = m_pTask.get();
  m_threads.push_back(TaskThread{std::thread([task, done] {
                                   task->Activate();
                                   done->store(true);
                                 }),
                                 done});
}

std::vector<std::thread> TaskRunner::TakeFinishedThreads() {
  std::vector<std::thread> finished;
  for (auto it = m_threads.begin(); it != m_threads.end();) {
    if (it->done->load()) {
      finished.push_back(std::move(it->thread));
      it = m_threads.erase(it);
    } else {
      ++it;
    }
  }
  return finished;
}

void TaskRunner::Finish() {
  if (!m_pTask) return;
  // Cancel first: it makes a running search, probe or job give up, so the
  // joins below are short.
  m_pTask->Cancel();
  for (TaskThread& t : m_threads) {
    if (t.thread.joinable()) t.thread.join();
  }
  m_threads.clear();
  m_pTask.reset();  // the destructor deletes the job
}
