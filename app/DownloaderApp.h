#pragma once
// The one application object: settings, the view name, and the faces of the
// pieces it holds together: the task table and its slots (TaskTable), the
// scheduler (TaskScheduler) and reaper (TaskReaper), downing.dat
// (TaskListFile), the candidates and endings the details views read
// (CandidateBook), the update check (UpdateChecker) and the UI port
// (UiPortRelay). No UI toolkit here; the user interface is reached only
// through IUiPort, keyed by task name.
//
// Locking: one application lock (m_lock) guards the settings, the table
// and the candidate book, none of which locks itself. Lock order is application lock first, then g_lock; nobody
// holding g_lock takes the application lock. The view name and the port have
// small leaf locks of their own. No lock is held while calling the UI port,
// stopping a job, joining a thread or deleting a task.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <type_traits>
#include <vector>
#include "app/BundledServer.h"
#include "app/CandidateBook.h"
#include "app/TaskDetails.h"
#include "app/TaskListFile.h"
#include "app/TaskReaper.h"
#include "app/TaskScheduler.h"
#include "app/TaskTable.h"
#include "app/UiPort.h"
#include "app/UiPortRelay.h"
#include "app/UpdateChecker.h"
#include "engine/record/TaskEntry.h"
#include "engine/ReadOnlyFace.h"
#include "task/TaskHost.h"

class CDownloaderApp;
class TaskRunner;

// The current application object (the one constructed and not refused), or
// null. Every part reaches the application through this.
CDownloaderApp* GetApp();

// "CDowningList" and "CMyHtmlView" are the arrangements that show the
// download list.
inline constexpr const char kViewDowningList[] = "CDowningList";
inline constexpr const char kViewHtml[] = "CMyHtmlView";
inline constexpr const char kViewSongList[] = "CSongList";

// Knobs for the places where the program talks to the outside world, so
// tests and the console can aim them elsewhere.
struct AppOptions {
  // Runs the update check on the scheduler's first pass.
  bool bCheckForUpdate = true;
  // False leaves the table without a scheduler (nothing is ever activated):
  // for exercising the table alone.
  bool bStartScheduler = true;
  // "http://host:port" of the count page and of the built-in version file
  // address; empty means the built-in host.
  std::string strUpdateHost;
  // Full path of the running program as the updater is told it; empty means
  // the real executable.
  std::string strProgramPath;
  // Connect time-out of the version file fetch. The check is meant to give
  // up at once when the update server is not right there; tests on a loaded
  // machine (sanitizers) give a successful fetch room.
  long nVersionConnectTimeoutMs = 5;
  // Called after each save that replaced downing.dat, with g_lock held (so
  // the file is exactly what that save wrote). For diagnostics and tests.
  std::function<void()> fnAfterSave;
  // Port used until SetUiPort; may be null (messages are then kept and
  // delivered when a port is set).
  IUiPort* pUiPort = nullptr;
  // Starts the bundled server when a search needs the built-in engine and
  // nothing answers (MP3.ini's [Server] AutoStart=0 turns it off too).
  bool bAutoStartServer = true;
  BundledServerOptions bundledServer;
};

class CDownloaderApp : public ITaskHost, private IReapListener, private ISchedulerHost {
 public:
  // Takes the single-instance lock on the program directory, then (unless
  // refused) loads MP3.ini and downing.dat, creates "已下载" when missing and
  // starts the scheduler.
  explicit CDownloaderApp(const AppOptions& options = AppOptions());
  // Stops everything without saving (ExitSequence is the saving way out).
  ~CDownloaderApp() override;
  CDownloaderApp(const CDownloaderApp&) = delete;
  CDownloaderApp& operator=(const CDownloaderApp&) = delete;

  // True when another copy holds the program directory: nothing was loaded
  // and nothing will be saved; the caller should end.
  bool IsRefused() const { return m_bRefused; }

  // Where message boxes and list writes go from now on (may be null).
  void SetUiPort(IUiPort* port) { m_port.SetPort(port); }
  // Shows a message box through the port (queued when there is no port yet).
  void ShowMessage(const std::string& text, const std::string& caption = std::string()) {
    m_port.ShowMessage(text, caption);
  }

  // --- Settings (MP3.ini) -------------------------------------------------
  // Re-reads MP3.ini into the settings and the two time-outs.
  void LoadSettings();
  // Copy of the settings in force, taken under the application lock.
  TaskSettings GetSettings() override;

  // Settings values. Written only by LoadSettings under the application
  // lock; other threads read them through GetSettings().
  std::string m_strFileType = ".MP3";
  std::string m_strSearchHead;
  std::string m_strSearchTail;
  // The selected engine's music server, when it is one (see TaskSettings).
  std::string m_strServer;
  std::string m_strUser;
  std::string m_strPassword;
  std::vector<std::string> m_otherServers;  // the file's music servers not selected
  int m_nMinSize = 1048576;
  int m_nMaxSize = 20971520;
  int m_nBlocks = 2;
  bool m_bCheckSpeed = true;
  bool m_bPreferQuality = false;
  // [Server] AutoStart: start the bundled server on demand.
  bool m_bAutoStartServer = true;

  // The tables under their own names, read under the application lock: an
  // entry or a slot's song name by place (nothing where the place is
  // empty), and the counts.
  const ReadOnlyColumn<std::optional<TaskEntry>> m_pTasks{
      [this](int at) { return WithTable([at](TaskTable& t) { return t.EntryAt(at); }); }};
  const ReadOnlyColumn<std::optional<std::string>> m_pActive{
      [this](int at) { return WithTable([at](TaskTable& t) { return t.SlotNameAt(at); }); }};
  const ReadOnlyFace<int> m_nTaskCount{[this] { return GetTaskCount(); }};
  const ReadOnlyFace<int> m_nActiveCount{[this] { return GetActiveCount(); }};
  // The scheduler's first pass has run.
  const ReadOnlyFace<bool> m_bSchedulerStarted{[this] { return m_pScheduler && m_pScheduler->Started(); }};

  // --- View name ----------------------------------------------------------
  // The arrangement of the frame's panes (UI thread writes, workers read).
  void SetViewName(const std::string& name);
  std::string GetViewName();
  // True while the view name is "CDowningList" or "CMyHtmlView".
  bool IsListShown() override;

  // --- Task table ---------------------------------------------------------
  // Names separated by ";" (at most ten a call); false only for a blank text.
  bool AddTasks(const std::string& names);
  // 0 added, -1 re-queued, -2 table full. Names over 50 bytes are cut.
  int AddTask(const std::string& name);
  // Scheduler only: 0 activated, -1 restarted, -2 no free slot.
  int ActivateTask(const std::string& name);
  // Frees the active slot of name; its task is stopped and deleted by the
  // reaper. The entry keeps its state; its speed and time left go.
  void StopTask(const std::string& name);
  // A task that gave up frees its slot like a stop (entry, row and text
  // stay) and wakes the scheduler, so a queued entry takes the slot.
  void OnTaskGaveUp(const std::string& name) override;
  void OnTaskEnded(const std::string& name, bool finished, const std::string& text) override;
  // Frees the active slot and the entry of name (the reaper deletes the task).
  void RemoveTask(const std::string& name) override;
  // Frees every slot and entry; downing.dat is not touched.
  void RemoveAllTasks();
  // Writes the table to downing.dat (refused once the exit sequence saved).
  void SaveTaskList() override;
  // The same, for a caller that must know: false when downing.dat was left
  // as it was, after the port was told why.
  bool SaveTaskListChecked();
  // Reads downing.dat into the table, every entry "stop".
  void LoadTaskList();
  // Blocks until every task handed to the reaper is stopped and deleted
  // (callers may then remove block files). Never call it from a task's thread.
  void WaitForReaper() { m_reaper.WaitUntilIdle(); }

  // Entry of name at the moment of the call; false when there is none.
  bool ReadEntry(const std::string& name, TaskEntry& out) override;
  // Runs edit on the entry of name under the application lock.
  bool EditEntry(const std::string& name, const std::function<void(TaskEntry&)>& edit) override;
  // Copies of the filled slots in slot order (what the download list shows).
  std::vector<SlotEntry> GetSlotEntries();
  // Just the entries of GetSlotEntries.
  std::vector<TaskEntry> GetEntriesInSlotOrder();
  // Names of the filled slots in slot order.
  std::vector<std::string> GetTaskNames();
  // Names holding an active slot, in slot order.
  std::vector<std::string> GetActiveNames();
  int GetTaskCount();
  int GetActiveCount();
  // More entries than active slots in use.
  bool HasQueuedTasks() override;

  // --- Candidates and the details views --------------------------------------
  // Downloads name from link instead of searching: the link becomes the
  // entry's address and the name is queued (added first when missing), as
  // a restart from a stored address. 0 added, -1 re-queued, -2 table full,
  // -3 not an address the entry can hold.
  int UseLink(const std::string& name, const std::string& link);
  // A copy of what the details views show of name.
  TaskDetails GetTaskDetails(const std::string& name);
  // Just the blocks of name's running job (none when it runs none): what a
  // frequent redraw needs, without copying the candidates.
  std::vector<BlockSnapshot> GetTaskBlocks(const std::string& name);
  // The audio of the link name's task went with (or, once it finished,
  // came from), read without copying its candidates; nothing known when
  // none was chosen.
  AudioFacts GetChosenAudio(const std::string& name);
  // How many times a candidate list was copied for a view: a redraw that
  // runs twice a second must not add to it.
  int CandidateListCopies() const { return m_book.Copies(); }
  void OnCandidatesFound(const std::string& name, const std::vector<std::string>& links) override;
  void OnCandidateProbed(const std::string& name, const std::string& link, const ProbeFigures& probe,
                         CandidateVerdict verdict) override;
  void OnCandidateAudio(const std::string& name, const std::string& link, const AudioFacts& audio) override;
  void OnCandidateChosen(const std::string& name, const std::string& link, ChosenReason why) override;
  void OnCandidateFailed(const std::string& name, const std::string& link, const std::string& text) override;

  // --- Scheduler and exit ---------------------------------------------------
  // Sets the scheduler's wake signal; a wake during a scan is never lost.
  void WakeScheduler() override;
  // Starts the bundled server for a search on the built-in engine when it
  // is wanted and nothing answers; the update check never calls it.
  std::string BeforeSearch(const std::string& url, const std::function<bool()>& cancelled) override;
  std::string StoredFormOf(const std::string& url) override {
    return m_pServer ? m_pServer->StoredFormOf(url) : url;
  }
  // The on-demand server (never null once constructed, unless refused).
  CBundledServer* GetBundledServer() { return m_pServer.get(); }
  // Ends the scheduler thread (it saves nothing more) and drains the reaper.
  void StopScheduler();
  // The exit command: SaveTaskList, RemoveAllTasks, StopScheduler. No save
  // follows its first step.
  void ExitSequence();

  // --- Update check -------------------------------------------------------
  // Count page, then version file; starts the updater when the published
  // version is newer. Runs on the calling thread; gives up when exiting.
  void CheckForUpdate() {
    if (!m_bRefused && m_pUpdate) m_pUpdate->Check();
  }
  // Starts the updater (FindUpdater) without waiting for it; false (after
  // "启动升级程序出错.") when it cannot be started.
  bool LaunchUpdater() { return !m_bRefused && m_pUpdate && m_pUpdate->LaunchUpdater(); }
  // Process id of the last updater started, or -1.
  pid_t GetLastUpdaterPid() const { return m_pUpdate ? m_pUpdate->LastUpdaterPid() : -1; }

  // --- The download list port (no application lock taken: callable under
  // g_lock) ----------------------------------------------------------------
  void SetListText(const std::string& name, int column, const std::string& text) override {
    m_port.SetListText(name, column, text);
  }
  void DeleteListRow(const std::string& name) override { m_port.DeleteListRow(name); }

 private:
  // f(table) under the application lock.
  template <typename F>
  std::invoke_result_t<F, TaskTable&> WithTable(F f) {
    std::lock_guard<std::mutex> lk(m_lock);
    return f(m_table);
  }

  // The scheduler's questions, answered under the application lock.
  void OnFirstPass() override;
  Next NextQueued(int from, int& at, std::string& name) override;
  bool ActivateQueued(const std::string& name) override;
  void AfterPass() override { SaveTaskList(); }
  // A task the reaper let go may have reported figures while it stopped.
  void OnTaskReaped(const std::string& name) override { ClearLiveFigures(name); }
  bool SaveTaskListAndShutOut(bool shutOut);
  // name's running job as it stands; empty when it runs none.
  JobView ViewJobLocked(const std::string& name);
  // Empties the speed and time left of name's entry and row unless the
  // task holds an active slot (it is running again).
  void ClearLiveFigures(const std::string& name);
  void ClearFailureLocked(const std::string& name);

  AppOptions m_options;
  bool m_bRefused = false;
  int m_nLockFd = -1;

  // The application lock: settings, table, candidate book.
  std::mutex m_lock;
  TaskTable m_table;
  CandidateBook m_book;
  bool m_bClosing = false;  // exit began: activate nothing more
  std::unique_ptr<TaskListFile> m_pListFile;  // downing.dat

  // A leaf lock of its own, so the view name can be read by a worker that
  // holds g_lock (removing its list row) without breaking the lock order.
  std::mutex m_viewLock;
  std::string m_strViewName;

  UiPortRelay m_port;  // its lock is a leaf
  std::atomic<bool> m_bExiting{false};  // fetches give up

  std::unique_ptr<TaskScheduler> m_pScheduler;
  TaskReaper m_reaper{*this};

  // Outlive every task: destroyed after the reaper has drained.
  std::unique_ptr<CBundledServer> m_pServer;
  std::unique_ptr<UpdateChecker> m_pUpdate;
};
