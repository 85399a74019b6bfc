// Tasks that stop running without going away: stopped by the user or given
// up after a failure. Either way the slot is freed and the entry keeps its
// place, its state and its last message, but no speed or time left.
#include "app/DownloaderApp.h"
#include "app/TaskRunner.h"
#include "task/DownloadTask.h"

namespace {
// Download list columns of the figures that only a running task has.
constexpr int kColRemaining = 5;
constexpr int kColSpeed = 6;
}  // namespace

void CDownloaderApp::StopTask(const std::string& name) {
  std::unique_ptr<TaskRunner> runner;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    int at = FindActiveLocked(name);
    if (at < 0) return;
    runner = TakeSlotLocked(at);
  }
  ClearLiveFigures(name);
  m_reaper.Hand(std::move(runner));
}

void CDownloaderApp::OnTaskGaveUp(const std::string& name) {
  std::unique_ptr<TaskRunner> runner;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    // A new activation clears the mark first: then this report is old news.
    const int e = FindEntryLocked(name);
    if (e < 0 || !IsFailedEntry(*m_pTasks[e])) return;
    const int at = FindActiveLocked(name);
    if (at < 0) return;
    runner = TakeSlotLocked(at);
  }
  ClearLiveFigures(name);
  // Called on a thread of this very task: the reaper, not this thread,
  // stops and deletes it.
  m_reaper.Hand(std::move(runner));
  WakeScheduler();
}

void CDownloaderApp::ClearLiveFigures(const std::string& name) {
  {
    std::lock_guard<std::mutex> lk(m_lock);
    const int e = FindEntryLocked(name);
    if (e < 0 || FindActiveLocked(name) >= 0) return;
    SetEntryText(m_pTasks[e]->m_szSpeed, "");
    SetEntryText(m_pTasks[e]->m_szRemaining, "");
  }
  if (IsListShown()) {
    SetListText(name, kColRemaining, "");
    SetListText(name, kColSpeed, "");
  }
}
