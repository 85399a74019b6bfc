#pragma once
// A stand-in for the application as seen by a task: an entry table under
// one lock, a recording list port, and a reaper thread that cancels and
// deletes removed tasks off the threads that belong to them.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/record/TaskEntry.h"
#include "res/Texts.h"
#include "task/DownloadTask.h"
#include "task/TaskHost.h"

namespace vtest {

struct ListWrite {
  std::string name;
  int column;
  std::string text;
};

class TaskTestHost : public ITaskHost {
 public:
  TaskTestHost() : m_reaper([this] { ReaperLoop(); }) { m_settings.m_nMinSize = 1; }

  ~TaskTestHost() override {
    {
      std::unique_lock<std::mutex> g(m_lock);
      m_stopReaper = true;
      m_cv.notify_all();
    }
    m_reaper.join();
    // Tasks still running may finish and hand themselves over meanwhile.
    for (;;) {
      std::unique_ptr<Item> item;
      {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_reapQueue.empty()) {
          item = std::move(m_reapQueue.front());
          m_reapQueue.pop_front();
        } else if (!m_tasks.empty()) {
          item = std::move(m_tasks.begin()->second);
          m_tasks.erase(m_tasks.begin());
        } else {
          break;
        }
      }
      Reap(*item);
    }
  }

  // ---- setting up ----
  void SetSettings(const TaskSettings& s) {
    std::lock_guard<std::mutex> g(m_lock);
    m_settings = s;
  }
  TaskSettings Settings() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_settings;
  }
  void AddEntry(const std::string& name, const std::string& address = "",
                const std::string& elapsed = "") {
    TaskEntry e{};
    SetEntryText(e.m_szName, name);
    SetEntryText(e.m_szAddress, address);
    SetEntryText(e.m_szElapsed, elapsed);
    std::lock_guard<std::mutex> g(m_lock);
    m_entries[name] = e;
  }
  // The task stays the host's; RemoveTask or the host's end deletes it.
  CDownloadTask& CreateTask(const std::string& name) {
    auto item = std::make_unique<Item>();
    item->task = std::make_unique<CDownloadTask>(*this, name);
    CDownloadTask& t = *item->task;
    std::lock_guard<std::mutex> g(m_lock);
    m_tasks[name] = std::move(item);
    return t;
  }
  // Runs Activate on a new task thread, as the scheduler does.
  // False when the task is gone already (finished and reaped).
  bool ActivateAsync(const std::string& name) {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_tasks.find(name);
    if (it == m_tasks.end()) return false;
    CDownloadTask* t = it->second->task.get();
    it->second->threads.emplace_back([t] { t->Activate(); });
    return true;
  }
  // What StopTask/RemoveTask of the user do: the reaper cancels and deletes.
  void DropTask(const std::string& name) { HandToReaper(name); }
  void SetListShown(bool shown) {
    std::lock_guard<std::mutex> g(m_lock);
    m_listShown = shown;
  }
  void SetQueued(bool queued) {
    std::lock_guard<std::mutex> g(m_lock);
    m_queued = queued;
  }

  // ---- observing ----
  bool Entry(const std::string& name, TaskEntry& out) {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_entries.find(name);
    if (it == m_entries.end()) return false;
    out = it->second;
    return true;
  }
  std::vector<std::string> Column(const std::string& name, int column) {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<std::string> out;
    for (const auto& w : m_writes)
      if (w.name == name && w.column == column) out.push_back(w.text);
    return out;
  }
  // Every list write for the row, in order.
  std::vector<ListWrite> Writes(const std::string& name) {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<ListWrite> out;
    for (const auto& w : m_writes)
      if (w.name == name) out.push_back(w);
    return out;
  }
  std::vector<std::string> AddressHistory(const std::string& name) {
    std::lock_guard<std::mutex> g(m_lock);
    return m_addressHistory[name];
  }
  // The entry's address at each SaveTaskList, for the named entry.
  std::vector<std::string> SavedAddresses(const std::string& name) {
    std::lock_guard<std::mutex> g(m_lock);
    return m_saved[name];
  }
  // Each change of the entry's retries field, and its value at each save.
  std::vector<std::string> RetriesHistory(const std::string& name) {
    std::lock_guard<std::mutex> g(m_lock);
    return m_retriesHistory[name];
  }
  std::vector<std::string> SavedRetries(const std::string& name) {
    std::lock_guard<std::mutex> g(m_lock);
    return m_savedRetries[name];
  }
  std::vector<std::string> Removed() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_removed;
  }
  std::vector<std::string> DeletedRows() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_deletedRows;
  }
  int Wakes() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_wakes;
  }
  int Reaped() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_reaped;
  }
  // Bounded wait for a condition observed through the host's methods.
  template <class Pred>
  static bool WaitUntil(Pred pred, int timeoutMs = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
  }

  // ---- ITaskHost ----
  TaskSettings GetSettings() override { return Settings(); }
  bool ReadEntry(const std::string& name, TaskEntry& out) override { return Entry(name, out); }
  bool EditEntry(const std::string& name, const std::function<void(TaskEntry&)>& edit) override {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_entries.find(name);
    if (it == m_entries.end()) return false;
    const std::string before = it->second.m_szAddress;
    const std::string retriesBefore = it->second.m_szRetries;
    edit(it->second);
    const std::string after = it->second.m_szAddress;
    if (after != before) m_addressHistory[name].push_back(after);
    if (retriesBefore != it->second.m_szRetries) m_retriesHistory[name].push_back(it->second.m_szRetries);
    return true;
  }
  void SaveTaskList() override {
    std::lock_guard<std::mutex> g(m_lock);
    for (const auto& [name, e] : m_entries) {
      m_saved[name].push_back(e.m_szAddress);
      m_savedRetries[name].push_back(e.m_szRetries);
    }
  }
  void RemoveTask(const std::string& name) override {
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_removed.push_back(name);
      m_entries.erase(name);
    }
    HandToReaper(name);
  }
  bool HasQueuedTasks() override {
    std::lock_guard<std::mutex> g(m_lock);
    return m_queued;
  }
  void WakeScheduler() override {
    std::lock_guard<std::mutex> g(m_lock);
    ++m_wakes;
  }
  bool IsListShown() override {
    std::lock_guard<std::mutex> g(m_lock);
    return m_listShown;
  }
  void SetListText(const std::string& name, int column, const std::string& text) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_writes.push_back({name, column, text});
  }
  void DeleteListRow(const std::string& name) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_deletedRows.push_back(name);
  }

 private:
  struct Item {
    std::unique_ptr<CDownloadTask> task;
    std::vector<std::thread> threads;
  };

  void HandToReaper(const std::string& name) {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_tasks.find(name);
    if (it == m_tasks.end()) return;
    m_reapQueue.push_back(std::move(it->second));
    m_tasks.erase(it);
    m_cv.notify_all();
  }
  void Reap(Item& item) {
    item.task->Cancel();
    for (auto& t : item.threads) t.join();
    item.task.reset();
    std::lock_guard<std::mutex> g(m_lock);
    ++m_reaped;
  }
  void ReaperLoop() {
    for (;;) {
      std::unique_ptr<Item> item;
      {
        std::unique_lock<std::mutex> g(m_lock);
        m_cv.wait(g, [this] { return m_stopReaper || !m_reapQueue.empty(); });
        if (m_reapQueue.empty()) return;
        item = std::move(m_reapQueue.front());
        m_reapQueue.pop_front();
      }
      Reap(*item);
    }
  }

  std::mutex m_lock;
  std::condition_variable m_cv;
  TaskSettings m_settings;
  std::map<std::string, TaskEntry> m_entries;
  std::map<std::string, std::unique_ptr<Item>> m_tasks;
  std::deque<std::unique_ptr<Item>> m_reapQueue;
  bool m_stopReaper = false;
  bool m_listShown = true;
  bool m_queued = false;
  int m_wakes = 0;
  int m_reaped = 0;
  std::vector<ListWrite> m_writes;
  std::map<std::string, std::vector<std::string>> m_addressHistory;
  std::map<std::string, std::vector<std::string>> m_saved;
  std::map<std::string, std::vector<std::string>> m_retriesHistory;
  std::map<std::string, std::vector<std::string>> m_savedRetries;
  std::vector<std::string> m_removed;
  std::vector<std::string> m_deletedRows;
  std::thread m_reaper;  // last: starts once everything above exists
};

}  // namespace vtest
