#include "app/DownloaderApp.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include "app/EngineSettings.h"
#include "app/IniFile.h"
#include "app/ProgramDirectorySetup.h"
#include "app/SettingsFile.h"
#include "app/TaskRunner.h"
#include "engine/Common.h"
#include "engine/http/HttpSocket.h"
#include "engine/record/RecordFile.h"
#include "engine/TextRules.h"
#include "res/Texts.h"

namespace {

std::atomic<CDownloaderApp*> g_pApp{nullptr};

void ReportRecordFile(const std::string& text) {
  if (CDownloaderApp* app = GetApp()) app->ShowMessage(text);
}

std::string FieldText(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

}  // namespace

CDownloaderApp* GetApp() { return g_pApp.load(); }

CDownloaderApp::CDownloaderApp(const AppOptions& options) : m_options(options), m_port(options.pUiPort) {
  // Installed, the program directory is the user's own and may not exist yet.
  PrepareProgramDirectory();
  // The single-instance lock comes first: a second copy must not even read
  // downing.dat, since it would save it again on its way out. O_CLOEXEC keeps
  // the updater we start from inheriting the lock.
  const std::string dir = GetAppDirectory();
  m_nLockFd = ::open((dir + "/.virelomp3.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (m_nLockFd >= 0 && ::flock(m_nLockFd, LOCK_EX | LOCK_NB) != 0) {
    ::close(m_nLockFd);
    m_nLockFd = -1;
    m_bRefused = true;
    return;
  }
  m_pServer = std::make_unique<CBundledServer>(m_options.bundledServer);
  CDownloaderApp* none = nullptr;
  g_pApp.compare_exchange_strong(none, this);
  SetRecordFileReporter(&ReportRecordFile);

  // The socket library needs no start on this platform.
  LoadSettings();
  LoadTaskList();
  m_bSchedulerStarted = false;

  // Tasks expect their download folder; a failure shows up as failed jobs.
  ::mkdir((dir + "/" + txt::kDownloadedFolder).c_str(), 0755);

  m_reaper.Start();
  if (m_options.bStartScheduler) m_scheduler = std::thread(&CDownloaderApp::SchedulerThreadProc, this);
}

CDownloaderApp::~CDownloaderApp() {
  if (m_bRefused) return;
  {
    // Leaving without the exit sequence saves nothing.
    std::lock_guard<std::mutex> g(g_lock);
    m_bSavesShutOut = true;
  }
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_bClosing = true;
  }
  StopScheduler();
  RemoveAllTasks();
  m_reaper.Stop();
  // No task searches any more: the server we started ends with us.
  m_pServer.reset();
  for (TaskEntry*& e : m_pTasks) {
    delete e;
    e = nullptr;
  }
  CDownloaderApp* self = this;
  if (g_pApp.compare_exchange_strong(self, nullptr)) SetRecordFileReporter(nullptr);
  if (m_nLockFd >= 0) ::close(m_nLockFd);
}

// --- The user interface port ------------------------------------------------

void CDownloaderApp::SetUiPort(IUiPort* port) { m_port.SetPort(port); }

void CDownloaderApp::ShowMessage(const std::string& text, const std::string& caption) {
  m_port.ShowMessage(text, caption);
}

void CDownloaderApp::SetListText(const std::string& name, int column, const std::string& text) {
  m_port.SetListText(name, column, text);
}

void CDownloaderApp::DeleteListRow(const std::string& name) { m_port.DeleteListRow(name); }

// --- View name ----------------------------------------------------------------

void CDownloaderApp::SetViewName(const std::string& name) {
  std::lock_guard<std::mutex> lk(m_viewLock);
  m_strViewName = name;
}

std::string CDownloaderApp::GetViewName() {
  std::lock_guard<std::mutex> lk(m_viewLock);
  return m_strViewName;
}

bool CDownloaderApp::IsListShown() {
  std::lock_guard<std::mutex> lk(m_viewLock);
  return m_strViewName == kViewDowningList || m_strViewName == kViewHtml;
}

// --- Settings -------------------------------------------------------------------

void CDownloaderApp::LoadSettings() {
  const TaskSettings s = ReadSettingsFile(GetIniFilePath(), GetSettings());
  const bool autoStart = IniToInt(IniRead(GetIniFilePath(), "Server", "AutoStart", "1", 10)) != 0;
  std::lock_guard<std::mutex> lk(m_lock);
  m_bCheckSpeed = s.m_bCheckSpeed;
  m_bPreferQuality = s.m_bPreferQuality;
  m_bAutoStartServer = autoStart;
  m_strFileType = s.m_strFileType;
  m_strSearchHead = s.m_strSearchHead;
  m_strSearchTail = s.m_strSearchTail;
  m_strServer = s.m_strServer;
  m_strUser = s.m_strUser;
  m_strPassword = s.m_strPassword;
  m_otherServers = s.m_otherServers;
  m_nMinSize = s.m_nMinSize;
  m_nMaxSize = s.m_nMaxSize;
  m_nBlocks = s.m_nBlocks;
}

TaskSettings CDownloaderApp::GetSettings() {
  std::lock_guard<std::mutex> lk(m_lock);
  TaskSettings s;
  s.m_strFileType = m_strFileType;
  s.m_strSearchHead = m_strSearchHead;
  s.m_strSearchTail = m_strSearchTail;
  s.m_strServer = m_strServer;
  s.m_strUser = m_strUser;
  s.m_strPassword = m_strPassword;
  s.m_otherServers = m_otherServers;
  s.m_nMinSize = m_nMinSize;
  s.m_nMaxSize = m_nMaxSize;
  s.m_nBlocks = m_nBlocks;
  s.m_bCheckSpeed = m_bCheckSpeed;
  s.m_bPreferQuality = m_bPreferQuality;
  return s;
}

// --- Task table -------------------------------------------------------------------

int CDownloaderApp::FindEntryLocked(const std::string& name) const {
  for (int i = 0, seen = 0; i < kMaxTasks && seen < m_nTaskCount; ++i) {
    if (!m_pTasks[i]) continue;
    ++seen;
    if (FieldText(m_pTasks[i]->m_szName, sizeof m_pTasks[i]->m_szName) == name) return i;
  }
  return -1;
}

int CDownloaderApp::FindActiveLocked(const std::string& name) const {
  for (int i = 0, seen = 0; i < kMaxActive && seen < m_nActiveCount; ++i) {
    if (!m_pActive[i]) continue;
    ++seen;
    if (FieldText(m_pActive[i]->m_szName, sizeof m_pActive[i]->m_szName) == name) return i;
  }
  return -1;
}

bool CDownloaderApp::AddTasks(const std::string& text) {
  if (m_bRefused) return false;
  std::string rest = TrimWhiteSpace(text);
  if (rest.empty()) {
    ShowMessage(T(txt::kSongNameEmpty));
    return false;
  }
  if (rest.back() != ';') rest += ';';

  std::vector<std::string> names;
  while (names.size() < 10) {
    size_t semi = rest.find(';');
    names.push_back(rest.substr(0, semi));
    rest.erase(0, semi + 1);
    if (rest.empty() || rest.find(';') == std::string::npos) break;
  }
  for (const std::string& name : names) {
    if (AddTask(name) == -2) break;
  }
  WakeScheduler();
  return true;
}

int CDownloaderApp::AddTask(const std::string& typed) {
  if (m_bRefused) return -2;
  // Every look-up compares whole names, so a name that does not fit the
  // entry is cut here once and used cut from then on.
  const std::string name = CutGbk(typed, sizeof(TaskEntry::m_szName) - 1);
  {
    std::lock_guard<std::mutex> lk(m_lock);
    const std::string blocks = std::to_string(m_nBlocks);
    int freeSlot = -1;
    for (int i = 0, seen = 0; i < kMaxTasks; ++i) {
      TaskEntry* e = m_pTasks[i];
      if (!e) {
        if (freeSlot < 0) freeSlot = i;
        if (seen >= m_nTaskCount) break;
        continue;
      }
      ++seen;
      if (FieldText(e->m_szName, sizeof e->m_szName) == name) {
        SetEntryText(e->m_szState, txt::kStateQueued);
        SetEntryText(e->m_szBlocks, blocks);
        return -1;
      }
    }
    if (freeSlot >= 0) {
      TaskEntry* e = new TaskEntry{};
      SetEntryText(e->m_szName, name);
      SetEntryText(e->m_szState, txt::kStateQueued);
      SetEntryText(e->m_szBlocks, blocks);
      m_pTasks[freeSlot] = e;
      ++m_nTaskCount;
      m_endings.Forget(name);  // a new task of the name has not ended yet
      return 0;
    }
  }
  ShowMessage(T(txt::kTooManyTasks));
  return -2;
}

// Before the entry turns "run": a watcher must never see an earlier
// activation's failure on the new one.
void CDownloaderApp::ClearFailureLocked(const std::string& name) {
  const int at = FindEntryLocked(name);
  if (at >= 0) SetEntryText(m_pTasks[at]->m_szRetries, "");
}

int CDownloaderApp::ActivateTask(const std::string& name) {
  std::vector<std::thread> finished;
  std::unique_ptr<TaskRunner> discard;  // dropped after the lock is released
  int result = 0;
  {
    std::unique_lock<std::mutex> lk(m_lock);
    if (m_bClosing || m_bRefused) return -2;
    int at = FindActiveLocked(name);
    if (at >= 0) {
      finished = m_pActive[at]->m_pRunner->TakeFinishedThreads();
      ClearFailureLocked(name);
      m_pActive[at]->m_pRunner->Start();
      result = -1;
    } else {
      int freeSlot = -1;
      for (int i = 0; i < kMaxActive; ++i) {
        if (!m_pActive[i]) {
          freeSlot = i;
          break;
        }
      }
      if (freeSlot < 0) {
        lk.unlock();
        ShowMessage(T(txt::kTooManyActive));
        return -2;
      }
      // The task reads the settings through us while it is made, so it is
      // made without the lock. Only this thread fills active slots, so the
      // free slot stays free meanwhile.
      lk.unlock();
      auto runner = std::make_unique<TaskRunner>(*this, name);
      lk.lock();
      if (m_bClosing || FindEntryLocked(name) < 0) {
        // Exit began, or the entry was removed meanwhile: nothing to run for.
        discard = std::move(runner);
        return m_bClosing ? -2 : 0;
      }
      auto* slot = new ActiveSlot;
      SetEntryText(slot->m_szName, name);
      slot->m_pRunner = std::move(runner);
      ClearFailureLocked(name);
      slot->m_pRunner->Start();
      m_pActive[freeSlot] = slot;
      ++m_nActiveCount;
    }
  }
  for (std::thread& t : finished) t.join();
  return result;
}

std::unique_ptr<TaskRunner> CDownloaderApp::TakeSlotLocked(int at) {
  ActiveSlot* slot = m_pActive[at];
  m_pActive[at] = nullptr;
  --m_nActiveCount;
  std::unique_ptr<TaskRunner> runner = std::move(slot->m_pRunner);
  delete slot;
  return runner;
}

void CDownloaderApp::RemoveTask(const std::string& name) {
  std::unique_ptr<TaskRunner> runner;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    int at = FindActiveLocked(name);
    if (at >= 0) runner = TakeSlotLocked(at);
    int e = FindEntryLocked(name);
    if (e >= 0) {
      delete m_pTasks[e];
      m_pTasks[e] = nullptr;
      --m_nTaskCount;
    }
    m_candidateLists.erase(name);
    m_pickedLinks.erase(name);
  }
  // Possibly called on a block thread of this very task (its success): the
  // reaper, not this thread, stops and deletes it.
  m_reaper.Hand(std::move(runner));
}

void CDownloaderApp::RemoveAllTasks() {
  std::vector<std::unique_ptr<TaskRunner>> runners;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    for (int i = 0; i < kMaxActive; ++i) {
      if (m_pActive[i]) runners.push_back(TakeSlotLocked(i));
    }
    m_nActiveCount = 0;
    for (TaskEntry*& e : m_pTasks) {
      delete e;
      e = nullptr;
    }
    m_nTaskCount = 0;
    m_candidateLists.clear();
    m_pickedLinks.clear();
    m_endings.Clear();
  }
  for (auto& r : runners) m_reaper.Hand(std::move(r));
}

bool CDownloaderApp::ReadEntry(const std::string& name, TaskEntry& out) {
  std::lock_guard<std::mutex> lk(m_lock);
  int at = FindEntryLocked(name);
  if (at < 0) return false;
  out = *m_pTasks[at];
  return true;
}

bool CDownloaderApp::EditEntry(const std::string& name, const std::function<void(TaskEntry&)>& edit) {
  std::lock_guard<std::mutex> lk(m_lock);
  int at = FindEntryLocked(name);
  if (at < 0) return false;
  edit(*m_pTasks[at]);
  return true;
}

std::vector<SlotEntry> CDownloaderApp::GetSlotEntries() {
  std::lock_guard<std::mutex> lk(m_lock);
  std::vector<SlotEntry> out;
  for (int i = 0; i < kMaxTasks && static_cast<int>(out.size()) < m_nTaskCount; ++i) {
    if (m_pTasks[i]) out.push_back(SlotEntry{i, *m_pTasks[i]});
  }
  return out;
}

std::vector<TaskEntry> CDownloaderApp::GetEntriesInSlotOrder() {
  std::vector<TaskEntry> out;
  for (const SlotEntry& s : GetSlotEntries()) out.push_back(s.entry);
  return out;
}

std::vector<std::string> CDownloaderApp::GetTaskNames() {
  std::vector<std::string> out;
  for (const SlotEntry& s : GetSlotEntries()) out.push_back(FieldText(s.entry.m_szName, sizeof s.entry.m_szName));
  return out;
}

std::vector<std::string> CDownloaderApp::GetActiveNames() {
  std::lock_guard<std::mutex> lk(m_lock);
  std::vector<std::string> out;
  for (ActiveSlot* s : m_pActive) {
    if (s) out.push_back(FieldText(s->m_szName, sizeof s->m_szName));
  }
  return out;
}

int CDownloaderApp::GetTaskCount() {
  std::lock_guard<std::mutex> lk(m_lock);
  return m_nTaskCount;
}

int CDownloaderApp::GetActiveCount() {
  std::lock_guard<std::mutex> lk(m_lock);
  return m_nActiveCount;
}

bool CDownloaderApp::HasQueuedTasks() {
  std::lock_guard<std::mutex> lk(m_lock);
  return m_nTaskCount > m_nActiveCount;
}

// --- Scheduler --------------------------------------------------------------------------

void CDownloaderApp::WaitForReaper() { m_reaper.WaitUntilIdle(); }

void CDownloaderApp::WakeScheduler() { m_wake.Wake(); }

void CDownloaderApp::SchedulerThreadProc() {
  if (!m_bSchedulerStarted) {
    m_bSchedulerStarted = true;
    if (m_options.bCheckForUpdate) CheckForUpdate();
  }
  while (m_wake.Wait()) SchedulerPass();
}

void CDownloaderApp::SchedulerPass() {
  bool found = true;
  bool full = false;
  while (found && !full) {
    found = false;
    for (int i = 0, seen = 0; i < kMaxTasks; ++i) {
      if (m_wake.IsStopped()) return;
      std::string name;
      bool queued = false;
      int count = 0;
      {
        std::lock_guard<std::mutex> lk(m_lock);
        if (m_bClosing) return;
        count = m_nTaskCount;
        if (seen >= count) break;
        TaskEntry* e = m_pTasks[i];
        if (!e) continue;
        ++seen;
        name = FieldText(e->m_szName, sizeof e->m_szName);
        queued = FieldText(e->m_szState, sizeof e->m_szState) == txt::kStateQueued;
      }
      if (queued) {
        found = true;
        int r = ActivateTask(name);
        if (r == -2) {
          full = true;
          break;
        }
        std::lock_guard<std::mutex> lk(m_lock);
        int at = FindEntryLocked(name);
        if (at >= 0) SetEntryText(m_pTasks[at]->m_szState, txt::kStateRunning);
      }
    }
  }
  SaveTaskList();
}

void CDownloaderApp::StopScheduler() {
  m_bExiting = true;  // the update check's fetches give up
  m_wake.Stop();
  if (m_scheduler.joinable() && m_scheduler.get_id() != std::this_thread::get_id()) m_scheduler.join();
  WaitForReaper();
}

void CDownloaderApp::ExitSequence() {
  if (m_bRefused) return;
  try {
    {
      std::lock_guard<std::mutex> lk(m_lock);
      m_bClosing = true;  // the scheduler activates nothing more
    }
    SaveTaskListAndShutOut(true);
    RemoveAllTasks();
    StopScheduler();
  } catch (...) {
    // The window closes whatever happened here.
  }
}
