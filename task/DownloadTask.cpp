#include "task/DownloadTask.h"

#include "task/SubsonicServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "engine/BlockDownloader.h"
#include "engine/mp3/Mp3FileCheck.h"
#include "engine/Common.h"
#include "engine/HttpSocket.h"
#include "engine/TaskEntry.h"
#include "engine/TempFolder.h"
#include "engine/TextRules.h"
#include "res/Texts.h"
#include "task/SongSearch.h"

namespace {

constexpr int kMaxRetries = 3;

constexpr int kColSize = 1;
constexpr int kColDone = 2;
constexpr int kColPercent = 3;
constexpr int kColElapsed = 4;
constexpr int kColRemaining = 5;
constexpr int kColSpeed = 6;
constexpr int kColAddress = 7;
constexpr int kColRetries = 10;


// A format of the texts table with one number, as GBK. GBK trail bytes are
// never '%', so formatting after the conversion would be as safe.
std::string FormatNumber(const char* utf8Format, long long n) {
  std::string fmt = utf8Format;
  const size_t at = fmt.find("%d");
  if (at != std::string::npos) fmt.replace(at, 2, std::to_string(n));
  return T(fmt.c_str());
}

std::string KiloBytes(long long bytes) {
  std::string s = std::to_string(bytes / 1024);
  if (bytes >= 0) InsertThousandSeparators(s);
  return s + "KB";
}

}  // namespace

CDownloadTask::CDownloadTask(ITaskHost& host, const std::string& name)
    : CDownloadTask(host, name, host.GetSettings()) {}

CDownloadTask::CDownloadTask(ITaskHost& host, const std::string& name, const TaskSettings& s)
    : m_strName(name), m_host(host) {
  // The task has five counters; a hand-edited count must not index past them.
  m_nBlocks = std::clamp(s.m_nBlocks, 1, kMaxBlocks);
  m_nMinSize = s.m_nMinSize;
  m_nMaxSize = s.m_nMaxSize;
  for (int i = 0; i < kMaxCandidates; ++i) m_nCandidateTime[i] = -1;
}

CDownloadTask::~CDownloadTask() { Cancel(); }

// ---- activation and cancelling ---------------------------------------------

int CDownloadTask::Activate() {
  unsigned gen;
  {
    std::lock_guard<std::mutex> g(m_stateLock);
    if (m_bCancelled) return 0;
    ++m_nActivations;
    gen = ++m_nGeneration;
    AbortProbeLocked();
  }
  m_stateCv.notify_all();  // ends a busy wait of the run this one replaces
  StopStartingJob();
  int result = 0;
  {
    std::lock_guard<std::mutex> run(m_runLock);
    if (!m_bCancelled && m_nGeneration == gen) {
      m_nRunGeneration = gen;
      // The earlier run's job goes first so its reports cannot mix with ours.
      DeleteJob();
      if (!Stale()) {
        m_nRetry = 1;
        SetRetriesField(std::string());
        result = Execute();
      }
    }
  }
  std::lock_guard<std::mutex> g(m_stateLock);
  --m_nActivations;
  m_stateCv.notify_all();
  return result;
}

void CDownloadTask::Cancel() {
  {
    std::lock_guard<std::mutex> g(m_stateLock);
    m_bCancelled = true;
    ++m_nGeneration;
    m_bWorkerStop = true;
    m_retryQueue.clear();
    AbortProbeLocked();
  }
  m_stateCv.notify_all();
  StopStartingJob();
  if (m_worker.joinable()) m_worker.join();
  {
    std::lock_guard<std::mutex> run(m_runLock);
    DeleteJob();
  }
  std::unique_lock<std::mutex> g(m_stateLock);
  m_stateCv.wait(g, [this] { return m_nActivations == 0; });
}

bool CDownloadTask::Stale() const {
  return m_bCancelled.load() || m_nGeneration.load() != m_nRunGeneration;
}

void CDownloadTask::AbortProbeLocked() {
  if (m_pProbeSocket) m_pProbeSocket->Abort();
}

// A job still asking for the file's length would hold up a cancel or a new
// activation for as long as a stalled server keeps it waiting.
void CDownloadTask::StopStartingJob() {
  CBlockDownloader* job;
  {
    std::lock_guard<std::mutex> g(m_stateLock);
    job = m_pStartingJob;
    if (!job) return;
    ++m_nStartStoppers;
  }
  // Twice: a Stop that lands just before Start takes the job is undone by
  // Start; the second one then aborts it, or stops what it started.
  job->Stop();
  job->Stop();
  std::lock_guard<std::mutex> g(m_stateLock);
  --m_nStartStoppers;
  m_stateCv.notify_all();
}

uint32_t CDownloadTask::Tick() const {
  uint32_t t;
  if (m_fnTick) {
    t = m_fnTick();
  } else {
    t = static_cast<uint32_t>(GetTickMs());
  }
  return t == 0 ? 1 : t;  // 0 means "not measured yet"
}

// ---- the steps -------------------------------------------------------------

int CDownloadTask::Execute() {
  m_nCandidates = -1;
  m_nLastProbed = -1;
  m_strURL = GetStoredAddress();
  m_strSearchDetail.clear();
  // Before anything is searched or probed: no link could help.
  if (const std::string refused = TempFolder::RefusalText(); !refused.empty()) {
    GiveUp(refused);
    return -1;
  }
  for (const std::string& other : m_host.GetSettings().m_otherServers) {
    if (m_strURL.empty() || !CSubsonicServer::IsLinkOf(m_strURL, other)) continue;
    GiveUp(T(txt::kUnselectedServerLink));
    return -1;
  }
  if (!m_strURL.empty()) {
    m_host.OnCandidateChosen(m_strName, m_strURL, ChosenReason::kStoredAddress);
    // A stored address on the bundled server needs it running, as a search does.
    m_host.BeforeSearch(m_strURL, [this] { return Stale(); });
    if (Stale()) return 0;
  }
  if (m_strURL.empty()) {
    bool found = false;
    for (int i = 0; i < kSearchAttempts && !found; ++i) {
      if (Stale()) return 0;
      found = SearchSong();
    }
    if (Stale()) return 0;
    if (!found) {
      GiveUp(T(txt::kSearchFailed) + m_strSearchDetail);
      return -1;
    }
    ReportFound();
  }
  if (Stale()) return 0;
  BeginDownload();
  return 0;
}

bool CDownloadTask::SearchSong() {
  const std::unique_ptr<ISongSearch> search = MakeSongSearch(m_host.GetSettings());
  SearchHooks hooks;
  hooks.status = [this](const std::string& text) { SetStatus(text); };
  hooks.cancelled = [this] { return Stale(); };
  hooks.beforeFetch = [this](const std::string& url) { m_host.BeforeSearch(url, [this] { return Stale(); }); };
  const SearchResult found = search->Search(m_strName, hooks);
  if (Stale()) return false;
  m_nCandidates = 0;
  for (const std::string& link : found.m_links) {
    if (m_nCandidates == kMaxCandidates) break;
    m_nCandidateTime[m_nCandidates] = -1;
    m_candidateServer[m_nCandidates] = m_nCandidates < static_cast<int>(found.m_audio.size()) ? found.m_audio[m_nCandidates] : AudioFacts();
    m_strCandidates[m_nCandidates++] = link;
  }
  for (int i = m_nCandidates; i < kMaxCandidates; ++i) {
    m_strCandidates[i].clear();
    m_nCandidateTime[i] = -1;
  }
  switch (found.m_outcome) {
    case SearchOutcome::kFound:
      SetStatus(FormatNumber(txt::kFoundAddresses, m_nCandidates));
      return m_nCandidates > 0;
    case SearchOutcome::kBadName:
      SetStatus(T(txt::kBadSongName));
      return false;
    case SearchOutcome::kNoSong:
      SetStatus(T(txt::kNoSongFound));
      return false;
    case SearchOutcome::kFailed:
      // The server's own words say more than the bare failure text.
      m_strSearchDetail = found.m_strMessage.empty() ? "" : " " + found.m_strMessage;
      SetStatus(T(txt::kSearchFailed) + m_strSearchDetail);
      return false;
    case SearchOutcome::kUnreachable:
      break;
  }
  SetStatus(T(txt::kNetworkUnreachable));
  return false;
}

void CDownloadTask::BeginDownload() {
  if (m_strURL.empty()) {
    const int k = ChooseCandidate();
    if (k < 0) return;
    m_strURL = m_strCandidates[k];
    StoreAddress(m_strURL);
  }
  SetStatus(m_strURL);
  const std::string path = MakeTargetPath();
  if (Stale()) return;
  if (path.empty()) {
    // The name makes no file ("." or ".."): no link can help.
    GiveUp(T(txt::kDownloadFailed));
    return;
  }

  DeleteJob();
  const int elapsed = GetStoredElapsed();
  {
    std::lock_guard<std::mutex> g(m_numLock);
    m_dwLastTick = 0;
    m_nElapsed = elapsed;
    m_nLastBytes = 0;
    // A job that falls back to one block after one with several must not
    // count the old blocks' bytes again.
    for (int& b : m_nBlockBytes) b = 0;
    m_nMoreBlockBytes.clear();
    m_strLastJobText.clear();
  }
  // Without the folder every merge would fail and the task would wait forever.
  std::error_code ec;
  std::filesystem::create_directories(
      std::filesystem::path(GetAppDirectory()) / txt::kDownloadedFolder, ec);

  auto* job = new CBlockDownloader(this);
  job->m_strURL = m_strURL;
  job->m_strFileName = path;
  job->m_bResume = 1;
  job->m_nBlocks = m_nBlocks;
  job->OnSuccess = &CDownloadTask::OnSuccess;
  job->OnFailure = &CDownloadTask::OnFailure;
  job->OnContentLength = &CDownloadTask::OnContentLength;
  job->OnProgress = &CDownloadTask::OnProgress;
  job->OnMessage = &CDownloadTask::OnMessage;
  job->CheckFinished = FinishedFileCheckFor(path);
  {
    std::lock_guard<std::mutex> g(m_jobViewLock);
    m_pJob = job;
  }
  m_nJobGeneration = m_nRunGeneration;
  m_nJobSerial.fetch_add(1);
  ForgetJobTexts();
  {
    std::lock_guard<std::mutex> g(m_stateLock);
    m_pStartingJob = job;
  }
  if (!Stale()) CBlockDownloader::Start(job);
  std::unique_lock<std::mutex> g(m_stateLock);
  m_stateCv.wait(g, [this] { return m_nStartStoppers == 0; });
  m_pStartingJob = nullptr;
}

void CDownloadTask::StoreAddress(const std::string& text) {
  m_host.EditEntry(m_strName, [&](TaskEntry& e) { SetEntryText(e.m_szAddress, text); });
  m_host.SaveTaskList();
}

std::string CDownloadTask::MakeTargetPath() const {
  const std::string name = TargetFileName(m_strName);
  if (name.empty()) return {};
  // Only the file type itself is taken from the link, so a script link
  // ("dl.php?f=a.mp3") still gives a song and no part of a path or query
  // can reach the file name.
  std::string type = m_host.GetSettings().m_strFileType;
  if (type.empty()) type = ".MP3";
  if (m_strURL.size() >= type.size()) {
    const std::string tail = m_strURL.substr(m_strURL.size() - type.size());
    if (SameTextIgnoringCase(tail, type)) type = tail;
  }
  // A hand-edited type must not name a folder either.
  for (char& c : type)
    if (c == '/' || c == '\0') c = '_';
  return GetAppDirectory() + "/" + txt::kDownloadedFolder + "/" + GbkToUtf8(name) + GbkToUtf8(type);
}

std::string TargetFileName(const std::string& name) {
  // The name is the task's key and stays as it is; only the file name is
  // made safe so nothing lands outside the download folder.
  if (name.empty() || name == "." || name == "..") return {};
  std::string out = name;
  for (char& c : out)
    if (c == '/' || c == '\0') c = '_';
  return out;
}

std::string CDownloadTask::GetStoredAddress() const {
  TaskEntry e{};
  if (!m_host.ReadEntry(m_strName, e)) return {};
  e.m_szAddress[sizeof e.m_szAddress - 1] = '\0';
  return IsWebAddress(e.m_szAddress) ? std::string(e.m_szAddress) : std::string();
}

int CDownloadTask::GetStoredElapsed() const {
  TaskEntry e{};
  if (!m_host.ReadEntry(m_strName, e)) return 0;
  e.m_szElapsed[sizeof e.m_szElapsed - 1] = '\0';
  const std::string text = e.m_szElapsed;
  if (text.empty()) return 0;
  const long long minutes = LeadingInt(text.substr(0, text.find('m')));
  long long seconds = 0;
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    const size_t s = text.find('s');
    const size_t end = (s == std::string::npos || s < colon) ? text.size() : s;
    seconds = LeadingInt(text.substr(colon + 1, end - colon - 1));
  }
  return static_cast<int>(std::clamp(minutes * 60 + seconds, 0LL, static_cast<long long>(INT_MAX)));
}

void CDownloadTask::DeleteJob() {
  CBlockDownloader* job = m_pJob;
  if (!job) return;
  {
    std::lock_guard<std::mutex> g(m_jobViewLock);
    m_pJob = nullptr;
  }
  m_nJobSerial.fetch_add(1);  // its late failure reports are stale from now on
  job->Stop();
  delete job;
}

void CDownloadTask::SetStatus(const std::string& text) {
  // Once an address is stored, the entry keeps it; status texts only reach the list.
  m_host.EditEntry(m_strName, [&](TaskEntry& e) {
    if (!IsWebAddress(e.m_szAddress)) SetEntryText(e.m_szAddress, text);
  });
  if (m_host.IsListShown()) m_host.SetListText(m_strName, kColAddress, text);
}

void CDownloadTask::GiveUp(const std::string& text) {
  SetStatus(text);
  SetRetriesField(T(txt::kFailedMark));
  m_host.SaveTaskList();
  m_host.OnTaskEnded(m_strName, false, text);
  m_host.OnTaskGaveUp(m_strName);
}

void CDownloadTask::SetRetriesField(const std::string& text) {
  m_host.EditEntry(m_strName, [&](TaskEntry& e) { SetEntryText(e.m_szRetries, text); });
  if (m_host.IsListShown()) m_host.SetListText(m_strName, kColRetries, text);
}

bool IsFailedEntry(const TaskEntry& e) {
  return std::string(e.m_szRetries, strnlen(e.m_szRetries, sizeof e.m_szRetries)) == T(txt::kFailedMark);
}

// ---- retries ---------------------------------------------------------------

void CDownloadTask::PostRetry(uint64_t serial) {
  std::lock_guard<std::mutex> g(m_stateLock);
  if (m_bCancelled || m_bWorkerStop) return;
  m_retryQueue.push_back(serial);
  if (!m_worker.joinable()) m_worker = std::thread([this] { WorkerLoop(); });
  m_stateCv.notify_all();
}

void CDownloadTask::WorkerLoop() {
  for (;;) {
    uint64_t serial;
    {
      std::unique_lock<std::mutex> g(m_stateLock);
      m_stateCv.wait(g, [this] { return m_bWorkerStop || !m_retryQueue.empty(); });
      if (m_bWorkerStop) return;
      serial = m_retryQueue.front();
      m_retryQueue.pop_front();
    }
    std::lock_guard<std::mutex> run(m_runLock);
    // A report of a job that is gone, or of one a newer activation replaces,
    // is not ours to retry.
    if (m_bCancelled || !m_pJob || serial != m_nJobSerial.load() ||
        m_nJobGeneration != m_nGeneration.load())
      continue;
    m_nRunGeneration = m_nJobGeneration;
    RetryAfterFailure();
  }
}

void CDownloadTask::RetryAfterFailure() {
  // A full disk, a missing permission or a download folder that is gone is
  // ours, not the link's: another link would fail the same way, and the
  // block files stay for a later start.
  if (m_pJob && m_pJob->LocalError()) {
    GiveUp(m_pJob->LocalErrorText());
    return;
  }
  ReportFailed();
  if (m_nRetry > kMaxRetries) {
    GiveUp(T(txt::kDownloadFailed));
    return;
  }
  if (m_host.IsListShown()) SetStatus(FormatNumber(txt::kRetryFailure, m_nRetry));
  SetRetriesField(std::to_string(m_nRetry));
  ++m_nRetry;
  if (m_nCandidates > 0) {
    MarkCandidate(m_strURL, -1);
    m_strURL.clear();
    BeginDownload();
  } else {
    // The address came from the entry: forget it so this and the next start search anew.
    StoreAddress(std::string());
    Execute();
  }
}

// ---- job handlers ----------------------------------------------------------

void CDownloadTask::OnSuccess(void* user) {
  auto* task = static_cast<CDownloadTask*>(user);
  if (task->m_bCancelled) return;  // whoever cancelled owns the removal
  // RemoveTask hands the task to the reaper: from then on only locals.
  ITaskHost& host = task->m_host;
  const std::string name = task->m_strName;
  host.OnTaskEnded(name, true, task->MakeTargetPath());
  if (host.IsListShown()) host.DeleteListRow(name);
  host.RemoveTask(name);
  if (host.HasQueuedTasks()) host.WakeScheduler();
}

void CDownloadTask::OnFailure(void* user) {
  auto* task = static_cast<CDownloadTask*>(user);
  task->PostRetry(task->m_nJobSerial.load());
}

void CDownloadTask::OnContentLength(void* user, int size) {
  auto* task = static_cast<CDownloadTask*>(user);
  {
    std::lock_guard<std::mutex> g(task->m_numLock);
    task->m_nFileSize = size;
  }
  const std::string text = KiloBytes(size);
  task->m_host.EditEntry(task->m_strName, [&](TaskEntry& e) { SetEntryText(e.m_szSize, text); });
  if (task->m_host.IsListShown()) task->m_host.SetListText(task->m_strName, kColSize, text);
}

void CDownloadTask::OnProgress(void* user, int received, int /*blockLength*/, int index) {
  auto* task = static_cast<CDownloadTask*>(user);
  // Far beyond any split a job makes; keeps a stray index from growing the
  // counters without bound.
  constexpr int kMaxBlockNumber = 1 << 16;
  if (index < 0 || index >= kMaxBlockNumber) return;
  std::string done, percent, elapsed, remaining, speed;
  {
    std::lock_guard<std::mutex> g(task->m_numLock);
    if (index < kMaxBlocks) {
      task->m_nBlockBytes[index] = received;
    } else {
      auto& more = task->m_nMoreBlockBytes;
      if (more.size() <= static_cast<size_t>(index - kMaxBlocks)) more.resize(static_cast<size_t>(index - kMaxBlocks) + 1);
      more[static_cast<size_t>(index - kMaxBlocks)] = received;
    }
    // Every counter, not only the first m_nBlocks: split-off blocks take
    // the numbers after the configured ones. A new job clears them all.
    int64_t total = 0;
    for (int b : task->m_nBlockBytes) total += b;
    for (int b : task->m_nMoreBlockBytes) total += b;

    const uint32_t now = task->Tick();
    const uint32_t dt = now - task->m_dwLastTick;
    if (dt > 1000) {
      // 64-bit throughout: files past 21 MB overflow 32-bit products.
      speed = std::to_string((total - task->m_nLastBytes) * 1000 / 1024 / dt) + "KB/S";
      if (task->m_dwLastTick > 0) {
        // Saturates: a damaged record can start the count near the limit.
        task->m_nElapsed = static_cast<int>(
            std::min<int64_t>(static_cast<int64_t>(task->m_nElapsed) + dt / 1000, INT_MAX));
        if (total > 0) {
          const int64_t left = (static_cast<int64_t>(task->m_nFileSize) - total) * task->m_nElapsed / total;
          task->m_nRemaining = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
        }
      }
      task->m_dwLastTick = task->Tick();
      task->m_nLastBytes = total;
    }
    done = KiloBytes(total);
    const int64_t pct = task->m_nFileSize > 0 ? total * 100 / task->m_nFileSize : 0;
    percent = std::to_string(pct) + "%";
    elapsed = FormatMinutesSeconds(task->m_nElapsed);
    remaining = FormatMinutesSeconds(task->m_nRemaining);
    // The entry is written under the counters' lock so that two blocks
    // reporting at once cannot leave the older total in it.
    task->m_host.EditEntry(task->m_strName, [&](TaskEntry& e) {
      SetEntryText(e.m_szDone, done);
      SetEntryText(e.m_szPercent, percent);
      SetEntryText(e.m_szElapsed, elapsed);
      SetEntryText(e.m_szRemaining, remaining);
      if (!speed.empty()) SetEntryText(e.m_szSpeed, speed);
    });
  }
  ITaskHost& host = task->m_host;
  if (!host.IsListShown()) return;
  host.SetListText(task->m_strName, kColDone, done);
  host.SetListText(task->m_strName, kColPercent, percent);
  if (!speed.empty()) host.SetListText(task->m_strName, kColSpeed, speed);
  host.SetListText(task->m_strName, kColElapsed, elapsed);
  host.SetListText(task->m_strName, kColRemaining, remaining);
}

void CDownloadTask::OnMessage(void* user, const std::string& text, int index) {
  auto* task = static_cast<CDownloadTask*>(user);
  task->KeepJobText(text);
  if (!task->m_host.IsListShown()) return;
  std::string fmt = T(txt::kThreadMessage);
  const size_t at = fmt.find("%d");
  if (at != std::string::npos) fmt.replace(at, 2, std::to_string(index));
  const size_t s = fmt.find("%s");
  if (s != std::string::npos) fmt.replace(s, 2, text);
  task->m_host.SetListText(task->m_strName, kColAddress, fmt);
}
