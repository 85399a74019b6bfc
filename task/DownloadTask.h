#pragma once
// Turns one song name into one downloaded file: search, probe, pick, then a
// multi-block job whose reports become the texts of the task's entry and
// list row.
//
// Threads and ownership (the application must keep to these):
//  - The two-argument constructor reads the settings through the host:
//    call it with no application lock held, or pass the settings.
//  - Activate() is the body of a task thread: call it on a thread of your
//    own, once per activation. A second Activate on the same object ends
//    the first run (its job is stopped) before the second one begins.
//  - Before deleting a task call Cancel(), with no lock held, from a thread
//    that is neither a task thread of it nor one of its job's threads (the
//    application's reaper). Cancel stops every step, the retry worker and
//    the job, and waits for running Activate calls to return. The
//    destructor calls it too, for safety; join your task thread before
//    deleting all the same.
//  - The job's handlers run on block threads. OnSuccess calls
//    host.RemoveTask(name) and touches nothing of the task afterwards, so
//    RemoveTask must hand the task to another thread, never delete it on
//    the calling one. A cancelled task's OnSuccess removes nothing: the one
//    who cancelled it owns its removal.
//  - Failed downloads are retried on a worker thread the task owns, never
//    on the failing block thread, so a job is always stopped and deleted
//    by a thread that is not one of its own.
// Every entry write looks the entry up by name at the moment of writing;
// the task keeps no pointer to its entry or row.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "task/CandidatePicker.h"
#include "task/JobStarter.h"
#include "task/JobTexts.h"
#include "task/LinkProber.h"
#include "engine/ReadOnlyFace.h"
#include "engine/job/JobListener.h"
#include "task/RetryWorker.h"
#include "task/TargetPath.h"
#include "task/TaskHost.h"
#include "task/TaskProgress.h"
#include "task/TaskRow.h"

class CBlockDownloader;
class CHttpSocket;

class CDownloadTask : public IJobListener {
 public:
  static constexpr int kMaxBlocks = CTaskProgress::kCounters;
  static constexpr int kMaxCandidates = CCandidatePicker::kMaxCandidates;
  static constexpr int kSearchAttempts = 3;
  // Probing stops at a candidate answering within this many milliseconds.
  static constexpr int kFastEnoughMs = 100;
  // Probe times from here on are never picked by the fastest-time rule.
  static constexpr int kUnusableMs = 100000;

  CDownloadTask(ITaskHost& host, const std::string& name);
  // For a caller that already holds the settings (and perhaps the lock
  // GetSettings takes): block count and size limits come from settings.
  CDownloadTask(ITaskHost& host, const std::string& name, const TaskSettings& settings);
  ~CDownloadTask() override;
  CDownloadTask(const CDownloadTask&) = delete;
  CDownloadTask& operator=(const CDownloadTask&) = delete;

  // One activation: retry count back to 1, then Execute. Returns its result.
  int Activate();
  // Makes every running step give up, stops the retry worker and the job,
  // and waits for running activations to return. Idempotent.
  void Cancel();
  bool IsCancelled() const { return m_bCancelled.load(); }

  // The steps. They run under the task's run lock (Activate, the retry
  // worker); tests call them directly on a task nobody else runs.
  int Execute();
  // One search by the engine the settings select; its links become the
  // candidates.
  bool SearchSong();
  bool ProbeCandidates();
  int PickCandidate() const;
  // Up to three probe passes, then the pick: the index of the link to
  // download, or -1 after showing the probe failure text.
  int ChooseCandidate();
  // Search and choice without a download, for showing the candidates: the
  // index of the chosen link, or -1 after the failure text.
  int SearchAndChoose();
  void BeginDownload();
  void StoreAddress(const std::string& text);
  // UTF-8 path of the target in the download folder: the name and the
  // wanted file type, spelt as the link ends when it ends with the type.
  // Empty when the name cannot be a file.
  std::string MakeTargetPath() const;
  std::string GetStoredAddress() const;
  int GetStoredElapsed() const;
  void DeleteJob();
  void MarkCandidate(const std::string& link, int value);
  void SetStatus(const std::string& text);
  // Ends the activation on a failure: shows text and marks the entry failed
  // (saved at once), so the console and the window program know it gave up.
  void GiveUp(const std::string& text);

  // What the task's job tells it (on its block threads).
  void OnSuccess() override;
  void OnFailure() override;
  void OnContentLength(int size) override;
  void OnProgress(int received, int blockLength, int index) override;
  void OnMessage(const std::string& text, int index) override;

  // Runs visit on the current job, if any, with the job held so that it is
  // not deleted meanwhile. Callable from any thread; visit must be short and
  // must not call back into the task.
  void VisitJob(const std::function<void(CBlockDownloader&)>& visit);

  // Seams. m_fnProbe replaces the socket probe of one candidate: it sets
  // time (ms, -1 on failure) and size (-1 unknown).
  // m_fnTick replaces the millisecond clock of the speed measurement.
  CLinkProber::FakeProbe m_fnProbe;
  std::function<uint32_t()> m_fnTick;

  // The candidates of this activation's search and their probe figures. A
  // test sets them up here on a task nobody else runs.
  CCandidatePicker& Candidates() { return m_picker; }
  const CCandidatePicker& Candidates() const { return m_picker; }
  // A new job's progress: counters and clock back to zero, the elapsed
  // seconds taken over from the entry.
  void RestartProgress();

  const std::string m_strName;
  int m_nBlocks = 4;
  int m_nMinSize = 1048576;
  int m_nMaxSize = 20971520;
  // Guarded by the run lock.
  int m_nRetry = 1;
  std::string m_strURL;
  // The engine's own words on the last failed search, for the final text.
  std::string m_strSearchDetail;
  // Written under the run lock and m_jobViewLock; VisitJob reads it under
  // m_jobViewLock alone.
  CBlockDownloader* m_pJob = nullptr;

  // Read-only faces over the progress (each read takes m_numLock).
  const ReadOnlyFace<int> m_nFileSize{[this] { return Numbers().FileSize(); }};
  const ReadOnlyColumn<int> m_nBlockBytes{[this](int i) { return Numbers().BlockBytes(i); }};
  // Blocks numbered kMaxBlocks and up: a job splits slow blocks into new
  // block files, and their bytes count as much as the first five.
  const ReadOnlyFace<std::vector<int>> m_nMoreBlockBytes{[this] { return Numbers().MoreBlockBytes(); }};
  const ReadOnlyFace<uint32_t> m_dwLastTick{[this] { return Numbers().LastTick(); }};
  const ReadOnlyFace<int> m_nElapsed{[this] { return Numbers().Elapsed(); }};
  const ReadOnlyFace<int> m_nRemaining{[this] { return Numbers().Remaining(); }};
  const ReadOnlyFace<int64_t> m_nLastBytes{[this] { return Numbers().LastBytes(); }};
  // Read-only faces over the candidates (the run lock's, like the picker).
  const ReadOnlyFace<int> m_nCandidates{[this] { return m_picker.Count(); }};
  const ReadOnlyColumn<std::string> m_strCandidates{[this](int i) { return m_picker.Link(i); }};
  const ReadOnlyColumn<int> m_nCandidateTime{[this](int i) { return m_picker.Time(i); }};
  // Bitrate the pick compares (kbps, -1 unknown): the server's, else the probe's.
  const ReadOnlyColumn<int> m_nCandidateKbps{[this](int i) { return m_picker.Kbps(i); }};
  const ReadOnlyColumn<AudioFacts> m_candidateServer{[this](int i) { return m_picker.ServerAudio(i); }};  // what the search said
  const ReadOnlyFace<int> m_nLastProbed{[this] { return m_picker.LastProbed(); }};

 private:
  bool Stale() const;
  // Up to kSearchAttempts searches, until one finds links or the run goes stale.
  bool SearchAgain();
  // A copy of the progress, taken under m_numLock.
  CTaskProgress Numbers() const {
    std::lock_guard<std::mutex> g(m_numLock);
    return m_progress;
  }
  // Sleeps ms unless the run goes stale first; false when it did.
  bool WaitUnlessStale(int ms);
  // Reports to the host for the details views.
  void ReportFound();
  void ReportFailed();
  void AbortProbeLocked();
  // The retry worker's: retries the job of serial if it is still current.
  void RunRetry(uint64_t serial);
  void RetryAfterFailure();
  uint32_t Tick() const;

  ITaskHost& m_host;

  // Held for a whole activation and for each retry: no two runs of the
  // steps at once. Handlers never take it.
  std::mutex m_runLock;
  // Counters, speed clock, elapsed and remaining: several block threads
  // report at once.
  mutable std::mutex m_numLock;
  // Probe socket, activation count; its condition also wakes a busy wait.
  std::mutex m_stateLock;
  std::condition_variable m_stateCv;
  // Keeps m_pJob alive for VisitJob; a leaf lock.
  std::mutex m_jobViewLock;
  CJobTexts m_jobTexts;
  CTaskProgress m_progress;      // m_numLock
  CCandidatePicker m_picker;     // run lock
  CLinkProber m_prober;          // the probing thread's

  std::atomic<bool> m_bCancelled{false};
  // Bumped by each activation and by Cancel; a run whose generation is
  // behind gives up between steps.
  std::atomic<unsigned> m_nGeneration{0};
  unsigned m_nRunGeneration = 0;  // run lock
  // Identifies the current job for failure reports; changes whenever a job
  // is deleted so a stale report cannot retry a newer job.
  std::atomic<uint64_t> m_nJobSerial{0};
  unsigned m_nJobGeneration = 0;  // run lock

  CHttpSocket* m_pProbeSocket = nullptr;  // state lock
  // The job while its Start runs; it is not deleted while a stopper is on it.
  CJobStarter m_starter;
  int m_nActivations = 0;                 // state lock
  CTaskRow m_row;
  // Last: it is closed and joined before the members it runs on go.
  CRetryWorker m_retries;
};

// True when the entry's task gave up (it failed and no activation since).
bool IsFailedEntry(const TaskEntry& e);
