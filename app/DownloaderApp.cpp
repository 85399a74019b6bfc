#include "app/DownloaderApp.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "app/IniFile.h"
#include "app/ProgramDirectorySetup.h"
#include "app/SettingsFile.h"
#include "app/TaskListFile.h"
#include "app/TaskRunner.h"
#include "engine/job/BlockDownloader.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/record/RecordFile.h"
#include "res/Texts.h"
#include "task/DownloadTask.h"

namespace {

std::atomic<CDownloaderApp*> g_pApp{nullptr};

void ReportRecordFile(const std::string& text) {
  if (CDownloaderApp* app = GetApp()) app->ShowMessage(text);
}

// Download list columns of the figures that only a running task has.
constexpr int kColRemaining = 5;
constexpr int kColSpeed = 6;

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
  m_pListFile = std::make_unique<TaskListFile>(TaskListFile::DefaultPath(), m_options.fnAfterSave);
  m_pServer = std::make_unique<CBundledServer>(m_options.bundledServer);
  m_pUpdate = std::make_unique<UpdateChecker>(
      UpdateCheckOptions{m_options.strUpdateHost, m_options.strProgramPath, m_options.nVersionConnectTimeoutMs},
      m_bExiting, m_pServer.get(), m_port);
  CDownloaderApp* none = nullptr;
  g_pApp.compare_exchange_strong(none, this);
  SetRecordFileReporter(&ReportRecordFile);

  // The socket library needs no start on this platform.
  LoadSettings();
  LoadTaskList();

  // Tasks expect their download folder; a failure shows up as failed jobs.
  ::mkdir((dir + "/" + txt::kDownloadedFolder).c_str(), 0755);

  m_reaper.Start();
  m_pScheduler = std::make_unique<TaskScheduler>(static_cast<ISchedulerHost&>(*this));
  if (m_options.bStartScheduler) m_pScheduler->Start();
}

CDownloaderApp::~CDownloaderApp() {
  if (m_bRefused) return;
  m_pListFile->ShutOut();  // leaving without the exit sequence saves nothing
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_bClosing = true;
  }
  StopScheduler();
  RemoveAllTasks();
  m_reaper.Stop();
  // No task searches any more: the server we started ends with us.
  m_pUpdate.reset();
  m_pServer.reset();
  CDownloaderApp* self = this;
  if (g_pApp.compare_exchange_strong(self, nullptr)) SetRecordFileReporter(nullptr);
  if (m_nLockFd >= 0) ::close(m_nLockFd);
}

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

bool CDownloaderApp::AddTasks(const std::string& text) {
  if (m_bRefused) return false;
  const std::vector<std::string> names = TaskTable::SplitNames(text);
  if (names.empty()) {
    ShowMessage(T(txt::kSongNameEmpty));
    return false;
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
    TaskEntry* e = nullptr;
    const int added = m_table.Add(name, &e);
    if (added != -2) {
      SetEntryText(e->m_szState, txt::kStateQueued);
      SetEntryText(e->m_szBlocks, std::to_string(m_nBlocks));
      if (added == 0) m_book.ForgetEnding(name);  // a new task of the name has not ended yet
      return added;
    }
  }
  ShowMessage(T(txt::kTooManyTasks));
  return -2;
}

// Before the entry turns "run": a watcher must never see an earlier
// activation's failure on the new one.
void CDownloaderApp::ClearFailureLocked(const std::string& name) {
  if (TaskEntry* e = m_table.Find(name)) SetEntryText(e->m_szRetries, "");
}

int CDownloaderApp::ActivateTask(const std::string& name) {
  std::vector<std::thread> finished;
  std::unique_ptr<TaskRunner> discard;  // dropped after the lock is released
  int result = 0;
  {
    std::unique_lock<std::mutex> lk(m_lock);
    if (m_bClosing || m_bRefused) return -2;
    if (TaskRunner* running = m_table.Runner(name)) {
      finished = running->TakeFinishedThreads();
      ClearFailureLocked(name);
      running->Start();
      result = -1;
    } else {
      if (!m_table.HasFreeSlot()) {
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
      if (m_bClosing || !m_table.Find(name)) {
        // Exit began, or the entry was removed meanwhile: nothing to run for.
        discard = std::move(runner);
        return m_bClosing ? -2 : 0;
      }
      TaskRunner* started = runner.get();
      ClearFailureLocked(name);
      m_table.Fill(name, runner);
      started->Start();
    }
  }
  for (std::thread& t : finished) t.join();
  return result;
}

void CDownloaderApp::StopTask(const std::string& name) {
  std::unique_ptr<TaskRunner> runner;
  if (!WithTable([&](TaskTable& t) { return t.Take(name, runner); })) return;
  ClearLiveFigures(name);
  m_reaper.Hand(std::move(runner));
}

void CDownloaderApp::OnTaskGaveUp(const std::string& name) {
  std::unique_ptr<TaskRunner> runner;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    // A new activation clears the mark first: then this report is old news.
    const TaskEntry* e = m_table.Find(name);
    if (!e || !IsFailedEntry(*e) || !m_table.Take(name, runner)) return;
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
    TaskEntry* e = m_table.Find(name);
    if (!e || m_table.IsActive(name)) return;
    SetEntryText(e->m_szSpeed, "");
    SetEntryText(e->m_szRemaining, "");
  }
  if (IsListShown()) {
    SetListText(name, kColRemaining, "");
    SetListText(name, kColSpeed, "");
  }
}

void CDownloaderApp::RemoveTask(const std::string& name) {
  std::unique_ptr<TaskRunner> runner;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_table.Take(name, runner);
    m_table.Remove(name);
    m_book.Forget(name);
  }
  // Possibly called on a block thread of this very task (its success): the
  // reaper, not this thread, stops and deletes it.
  m_reaper.Hand(std::move(runner));
}

void CDownloaderApp::RemoveAllTasks() {
  std::vector<std::unique_ptr<TaskRunner>> runners;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    runners = m_table.TakeAll();
    m_table.ClearEntries();
    m_book.Clear();
  }
  for (auto& r : runners) m_reaper.Hand(std::move(r));
}

bool CDownloaderApp::ReadEntry(const std::string& name, TaskEntry& out) {
  std::lock_guard<std::mutex> lk(m_lock);
  const TaskEntry* e = m_table.Find(name);
  if (e) out = *e;
  return e != nullptr;
}

bool CDownloaderApp::EditEntry(const std::string& name, const std::function<void(TaskEntry&)>& edit) {
  std::lock_guard<std::mutex> lk(m_lock);
  TaskEntry* e = m_table.Find(name);
  if (e) edit(*e);
  return e != nullptr;
}

std::vector<SlotEntry> CDownloaderApp::GetSlotEntries() {
  return WithTable([](TaskTable& t) { return t.Entries(); });
}

std::vector<TaskEntry> CDownloaderApp::GetEntriesInSlotOrder() {
  std::vector<TaskEntry> out;
  for (const SlotEntry& s : GetSlotEntries()) out.push_back(s.entry);
  return out;
}

std::vector<std::string> CDownloaderApp::GetTaskNames() {
  std::vector<std::string> out;
  for (const SlotEntry& s : GetSlotEntries()) out.push_back(EntryText(s.entry.m_szName));
  return out;
}

std::vector<std::string> CDownloaderApp::GetActiveNames() {
  return WithTable([](TaskTable& t) { return t.ActiveNames(); });
}

int CDownloaderApp::GetTaskCount() { return WithTable([](TaskTable& t) { return t.TaskCount(); }); }

int CDownloaderApp::GetActiveCount() { return WithTable([](TaskTable& t) { return t.ActiveCount(); }); }

bool CDownloaderApp::HasQueuedTasks() {
  return WithTable([](TaskTable& t) { return t.TaskCount() > t.ActiveCount(); });
}

// --- downing.dat -------------------------------------------------------------------

void CDownloaderApp::SaveTaskList() { SaveTaskListAndShutOut(false); }

bool CDownloaderApp::SaveTaskListChecked() { return SaveTaskListAndShutOut(false); }

bool CDownloaderApp::SaveTaskListAndShutOut(bool shutOut) {
  if (m_bRefused) return false;
  std::unique_lock<std::mutex> appLock(m_lock);
  std::vector<TaskEntry> entries;
  for (const SlotEntry& s : m_table.Entries()) entries.push_back(s.entry);
  // Lock order: the application lock, then g_lock.
  std::string failure;
  const bool saved = m_pListFile->SaveInTurn(appLock, entries, shutOut, failure);
  if (!failure.empty()) ShowMessage(failure);
  return saved;
}

void CDownloaderApp::LoadTaskList() {
  if (m_bRefused) return;
  const std::vector<TaskEntry> entries = m_pListFile->Load(kMaxTasks);
  std::lock_guard<std::mutex> lk(m_lock);
  m_table.LoadEntries(entries);
}

// --- Candidates and the details views -------------------------------------------------

JobView CDownloaderApp::ViewJobLocked(const std::string& name) {
  JobView view;
  // The slot keeps the task alive while we look; the job's own lock is a
  // leaf, so nothing waits on us in turn.
  TaskRunner* runner = m_table.Runner(name);
  if (runner && runner->Task())
    runner->Task()->VisitJob([&](CBlockDownloader& job) {
      view.blocks = job.GetBlockSnapshot();
      view.nAnswerMs = job.AnswerMs();
    });
  return view;
}

int CDownloaderApp::UseLink(const std::string& typed, const std::string& link) {
  if (m_bRefused) return -2;
  // The task only takes an address it can read back whole from the entry.
  if (link.size() >= sizeof(TaskEntry::m_szAddress) || !IsWebAddress(link)) return -3;
  const std::string name = CutGbk(typed, sizeof(TaskEntry::m_szName) - 1);
  const int added = AddTask(name);  // shows the table-full message itself
  if (added == -2) return -2;
  WithTable([&](TaskTable&) { m_book.GiveLink(name, link); });
  EditEntry(name, [&](TaskEntry& e) { SetEntryText(e.m_szAddress, link); });
  SaveTaskList();
  WakeScheduler();
  return added;
}

TaskDetails CDownloaderApp::GetTaskDetails(const std::string& name) {
  std::lock_guard<std::mutex> lk(m_lock);
  const TaskEntry* e = m_table.Find(name);
  return m_book.Details(name, e != nullptr, e && IsFailedEntry(*e), m_table.IsActive(name), ViewJobLocked(name));
}

std::vector<BlockSnapshot> CDownloaderApp::GetTaskBlocks(const std::string& name) {
  std::lock_guard<std::mutex> lk(m_lock);
  return ViewJobLocked(name).blocks;
}

AudioFacts CDownloaderApp::GetChosenAudio(const std::string& name) {
  std::lock_guard<std::mutex> lk(m_lock);
  return m_book.ChosenAudio(name, m_table.Find(name) != nullptr);
}

void CDownloaderApp::OnTaskEnded(const std::string& name, bool finished, const std::string& text) {
  std::lock_guard<std::mutex> lk(m_lock);
  // Still in its slot: the job is there to read, as for a details view.
  m_book.Ended(name, finished, text, ViewJobLocked(name));
}

void CDownloaderApp::OnCandidatesFound(const std::string& name, const std::vector<std::string>& links) {
  std::lock_guard<std::mutex> lk(m_lock);
  // A task cancelled with its entry reports no more.
  if (m_table.Find(name)) m_book.Found(name, links);
}

void CDownloaderApp::OnCandidateProbed(const std::string& name, const std::string& link,
                                       const ProbeFigures& probe, CandidateVerdict verdict) {
  WithTable([&](TaskTable&) { m_book.Probed(name, link, probe, verdict); });
}

void CDownloaderApp::OnCandidateAudio(const std::string& name, const std::string& link, const AudioFacts& audio) {
  WithTable([&](TaskTable&) { m_book.ServerAudio(name, link, audio); });
}

void CDownloaderApp::OnCandidateChosen(const std::string& name, const std::string& link, ChosenReason why) {
  WithTable([&](TaskTable& t) {
    if (t.Find(name)) m_book.Chosen(name, link, why);
  });
}

void CDownloaderApp::OnCandidateFailed(const std::string& name, const std::string& link,
                                       const std::string& text) {
  WithTable([&](TaskTable&) { m_book.Failed(name, link, text); });
}

// --- The bundled server: a search on the built-in engine makes sure something
// of ours answers there, and asks it where it really is. ----------------------------

std::string CDownloaderApp::BeforeSearch(const std::string& url, const std::function<bool()>& cancelled) {
  if (!m_pServer) return url;
  bool start = !m_bRefused && m_options.bAutoStartServer;
  if (start) start = WithTable([this](TaskTable&) { return m_bAutoStartServer; });
  if (start)
    m_pServer->EnsureFor(url, [this, &cancelled] { return m_bExiting.load() || (cancelled && cancelled()); });
  // Without a start too: another user's listener on the port is never asked.
  return m_pServer->AddressFor(url);
}

void CDownloaderApp::WakeScheduler() {
  if (m_pScheduler) m_pScheduler->Wake();
}

void CDownloaderApp::OnFirstPass() {
  if (m_options.bCheckForUpdate) CheckForUpdate();
}

ISchedulerHost::Next CDownloaderApp::NextQueued(int from, int& at, std::string& name) {
  std::lock_guard<std::mutex> lk(m_lock);
  if (m_bClosing) return Next::kClosing;
  at = m_table.NextInState(from, txt::kStateQueued, name);
  return at < 0 ? Next::kNone : Next::kFound;
}

bool CDownloaderApp::ActivateQueued(const std::string& name) {
  if (ActivateTask(name) == -2) return false;
  std::lock_guard<std::mutex> lk(m_lock);
  if (TaskEntry* e = m_table.Find(name)) SetEntryText(e->m_szState, txt::kStateRunning);
  return true;
}

void CDownloaderApp::StopScheduler() {
  m_bExiting = true;  // the update check's fetches give up
  if (m_pScheduler) m_pScheduler->Stop();
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
