#include "task/DownloadTask.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "engine/job/BlockDownloader.h"
#include "engine/Common.h"
#include "engine/http/HttpSocket.h"
#include "engine/record/TaskEntry.h"
#include "engine/job/TempFolder.h"
#include "engine/mp3/Mp3FileCheck.h"
#include "res/Texts.h"
#include "task/AudioProbe.h"
#include "task/SongSearch.h"
#include "task/SubsonicServer.h"

namespace {

constexpr int kMaxRetries = 3;
constexpr int kProbePasses = 3;

// A format of the texts table with one number, as GBK. GBK trail bytes are
// never '%', so formatting after the conversion would be as safe.
std::string FormatNumber(const char* utf8Format, long long n) {
  std::string fmt = utf8Format;
  const size_t at = fmt.find("%d");
  if (at != std::string::npos) fmt.replace(at, 2, std::to_string(n));
  return T(fmt.c_str());
}

}  // namespace

CDownloadTask::CDownloadTask(ITaskHost& host, const std::string& name)
    : CDownloadTask(host, name, host.GetSettings()) {}

CDownloadTask::CDownloadTask(ITaskHost& host, const std::string& name, const TaskSettings& s)
    : m_strName(name),
      m_host(host),
      m_prober(m_fnProbe,
               ProbeHooks{[this] { return Stale(); }, [this](const std::string& text) { SetStatus(text); },
                          [this](int ms) { return WaitUnlessStale(ms); }},
               this),
      m_row(host, name),
      m_retries([this](uint64_t serial) { RunRetry(serial); }) {
  // The task has five counters; a hand-edited count must not index past them.
  m_nBlocks = std::clamp(s.m_nBlocks, 1, kMaxBlocks);
  m_nMinSize = s.m_nMinSize;
  m_nMaxSize = s.m_nMaxSize;
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
  m_starter.StopStarting();
  int result = 0;
  {
    std::lock_guard<std::mutex> run(m_runLock);
    if (!m_bCancelled && m_nGeneration == gen) {
      m_nRunGeneration = gen;
      // The earlier run's job goes first so its reports cannot mix with ours.
      DeleteJob();
      if (!Stale()) {
        m_nRetry = 1;
        m_row.SetRetries(std::string());
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
    AbortProbeLocked();
  }
  m_retries.Close();
  m_stateCv.notify_all();
  m_starter.StopStarting();
  m_retries.Join();
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

uint32_t CDownloadTask::Tick() const {
  const uint32_t t = m_fnTick ? m_fnTick() : static_cast<uint32_t>(GetTickMs());
  return t == 0 ? 1 : t;  // 0 means "not measured yet"
}

// ---- the steps -------------------------------------------------------------

int CDownloadTask::Execute() {
  m_picker.Forget();
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
    m_strURL = m_host.BeforeSearch(m_strURL, [this] { return Stale(); });
    if (Stale()) return 0;
    if (m_strURL.empty()) {
      GiveUp(T(txt::kBuiltinPortNotOurs));
      return -1;
    }
  }
  if (m_strURL.empty()) {
    const bool found = SearchAgain();
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

bool CDownloadTask::SearchAgain() {
  bool found = false;
  for (int i = 0; i < kSearchAttempts && !found && !Stale(); ++i) found = SearchSong();
  return found;
}

bool CDownloadTask::SearchSong() {
  const std::unique_ptr<ISongSearch> search = MakeSongSearch(m_host.GetSettings());
  SearchHooks hooks;
  hooks.status = [this](const std::string& text) { SetStatus(text); };
  hooks.cancelled = [this] { return Stale(); };
  hooks.beforeFetch = [this](const std::string& url) { return m_host.BeforeSearch(url, [this] { return Stale(); }); };
  const SearchResult found = search->Search(m_strName, hooks);
  if (Stale()) return false;
  m_picker.Reset(found.m_links, found.m_audio);
  switch (found.m_outcome) {
    case SearchOutcome::kFound:
      SetStatus(FormatNumber(txt::kFoundAddresses, m_picker.Count()));
      return m_picker.Count() > 0;
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
    m_strURL = m_picker.Link(k);
    StoreAddress(m_host.StoredFormOf(m_strURL));
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
  RestartProgress();
  // Without the folder every merge would fail and the task would wait forever.
  std::error_code ec;
  std::filesystem::create_directories(
      std::filesystem::path(GetAppDirectory()) / txt::kDownloadedFolder, ec);

  auto* job = new CBlockDownloader(this);
  job->m_strURL = m_strURL;
  job->m_strFileName = path;
  job->m_bResume = 1;
  job->m_nBlocks = m_nBlocks;
  job->CheckFinished = FinishedFileCheckFor(path);
  {
    std::lock_guard<std::mutex> g(m_jobViewLock);
    m_pJob = job;
  }
  m_nJobGeneration = m_nRunGeneration;
  m_nJobSerial.fetch_add(1);
  m_jobTexts.Forget();
  m_starter.Start(job, [this] { return Stale(); });
}

void CDownloadTask::StoreAddress(const std::string& text) { m_row.StoreAddress(text); }

std::string CDownloadTask::MakeTargetPath() const {
  return TargetPathFor(GetAppDirectory(), m_strName, m_strURL, m_host.GetSettings().m_strFileType);
}

std::string CDownloadTask::GetStoredAddress() const { return m_row.StoredAddress(); }

int CDownloadTask::GetStoredElapsed() const { return m_row.StoredElapsed(); }

void CDownloadTask::RestartProgress() {
  const int elapsed = GetStoredElapsed();
  std::lock_guard<std::mutex> g(m_numLock);
  m_progress.StartJob(elapsed);
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

void CDownloadTask::SetStatus(const std::string& text) { m_row.SetStatus(text); }

void CDownloadTask::GiveUp(const std::string& text) {
  SetStatus(text);
  m_row.SetRetries(T(txt::kFailedMark));
  m_host.SaveTaskList();
  m_host.OnTaskEnded(m_strName, false, text);
  m_host.OnTaskGaveUp(m_strName);
}

bool IsFailedEntry(const TaskEntry& e) {
  return std::string(e.m_szRetries, strnlen(e.m_szRetries, sizeof e.m_szRetries)) == T(txt::kFailedMark);
}

// ---- retries ---------------------------------------------------------------

void CDownloadTask::RunRetry(uint64_t serial) {
  std::lock_guard<std::mutex> run(m_runLock);
  // A report of a job that is gone, or of one a newer activation replaces,
  // is not ours to retry.
  if (m_bCancelled || !m_pJob || serial != m_nJobSerial.load() || m_nJobGeneration != m_nGeneration.load())
    return;
  m_nRunGeneration = m_nJobGeneration;
  RetryAfterFailure();
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
  m_row.SetRetries(std::to_string(m_nRetry));
  ++m_nRetry;
  if (m_picker.Count() > 0) {
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

void CDownloadTask::OnSuccess() {
  if (m_bCancelled) return;  // whoever cancelled owns the removal
  // RemoveTask hands the task to the reaper: from then on only locals.
  ITaskHost& host = m_host;
  const std::string name = m_strName;
  host.OnTaskEnded(name, true, MakeTargetPath());
  if (host.IsListShown()) host.DeleteListRow(name);
  host.RemoveTask(name);
  if (host.HasQueuedTasks()) host.WakeScheduler();
}

void CDownloadTask::OnFailure() {
  if (!m_bCancelled) m_retries.Post(m_nJobSerial.load());
}

void CDownloadTask::OnContentLength(int size) {
  {
    std::lock_guard<std::mutex> g(m_numLock);
    m_progress.SetFileSize(size);
  }
  m_row.SetSize(size);
}

void CDownloadTask::OnProgress(int received, int /*blockLength*/, int index) {
  ProgressTexts text;
  {
    std::lock_guard<std::mutex> g(m_numLock);
    ProgressFigures figures;
    if (!m_progress.Report(index, received, [this] { return Tick(); }, figures)) return;
    text = CTaskProgress::Texts(figures);
    // The entry is written under the counters' lock so that two blocks
    // reporting at once cannot leave the older total in it.
    m_row.WriteProgress(text);
  }
  m_row.ShowProgress(text);
}

void CDownloadTask::OnMessage(const std::string& text, int index) {
  m_jobTexts.Keep(text);
  m_row.ShowJobMessage(text, index);
}

// ---- candidates --------------------------------------------------------------

bool CDownloadTask::ProbeCandidates() {
  const int count = m_picker.Count();
  if (count <= 0) return false;
  if (m_picker.AllProbed()) return m_picker.AnyTime();

  const TaskSettings settings = m_host.GetSettings();
  const bool audio = ReadsAudio(settings.m_strFileType);
  std::unique_ptr<CHttpSocket> socket;
  if (!m_fnProbe) {
    socket = std::make_unique<CHttpSocket>(&m_prober);
    std::lock_guard<std::mutex> g(m_stateLock);
    m_pProbeSocket = socket.get();
  }
  int stoppedAt = count - 1;
  for (int i = m_picker.LastProbed() + 1; i < count; ++i) {
    if (Stale()) {
      stoppedAt = i - 1;
      break;
    }
    std::string status = T(txt::kTestingLink);
    status.replace(status.find("%d"), 2, std::to_string(i + 1));
    SetStatus(status);
    ProbeFigures probe;
    const std::string link = m_picker.Link(i);
    if (!m_prober.Probe(socket.get(), link, audio, status, probe)) {
      stoppedAt = i - 1;
      break;
    }
    const AudioFacts& said = m_picker.ServerAudio(i);
    const int kbps = said.KnownRate() ? said.m_nKbps : probe.m_audio.m_nKbps;
    const CandidateVerdict verdict = JudgeProbe(probe, m_nMinSize, m_nMaxSize);
    m_host.OnCandidateProbed(m_strName, link, probe, verdict);
    const bool usable = verdict == CandidateVerdict::kUsable;
    m_picker.SetProbed(i, usable ? probe.m_nTimeMs : -1, kbps);
    // Quality first weighs every link, whatever answered first.
    if (usable && !settings.m_bPreferQuality && (probe.m_nTimeMs <= kFastEnoughMs || !settings.m_bCheckSpeed)) {
      stoppedAt = i;
      break;
    }
  }
  m_picker.SetLastProbed(stoppedAt);
  if (socket) {
    {
      std::lock_guard<std::mutex> g(m_stateLock);
      m_pProbeSocket = nullptr;
    }
    socket->Close();
  }
  return m_picker.AnyTime();
}

bool CDownloadTask::WaitUnlessStale(int ms) {
  std::unique_lock<std::mutex> g(m_stateLock);
  return !m_stateCv.wait_for(g, std::chrono::milliseconds(ms), [this] { return Stale(); });
}

int CDownloadTask::PickCandidate() const { return m_picker.PickFastest(kFastEnoughMs, kUnusableMs); }

int CDownloadTask::ChooseCandidate() {
  bool probed = false;
  for (int pass = 0; pass < kProbePasses && !probed; ++pass) {
    if (Stale()) return -1;
    probed = ProbeCandidates();
    if (!probed) m_picker.SetLastProbed(-1);  // the next pass probes them all again
  }
  if (Stale()) return -1;
  const TaskSettings settings = m_host.GetSettings();
  int k = -1;
  if (probed && settings.m_bPreferQuality) k = m_picker.PickBestQuality(kUnusableMs);
  // Without a known bitrate the winner is merely the quickest.
  ChosenReason why = k >= 0 && m_picker.Kbps(k) > 0 ? ChosenReason::kBestQuality : ChosenReason::kNone;
  if (k < 0) k = probed ? PickCandidate() : -1;
  if (k < 0) {
    GiveUp(T(txt::kProbeFailed));
    return -1;
  }
  if (why == ChosenReason::kNone) why = ReasonForPick(m_picker.Time(k), settings.m_bCheckSpeed, kFastEnoughMs);
  m_host.OnCandidateChosen(m_strName, m_picker.Link(k), why);
  return k;
}

int CDownloadTask::SearchAndChoose() {
  m_picker.Forget();
  const bool found = SearchAgain();
  if (Stale()) return -1;
  if (!found) {
    GiveUp(T(txt::kSearchFailed));
    return -1;
  }
  ReportFound();
  return ChooseCandidate();
}

void CDownloadTask::MarkCandidate(const std::string& link, int value) { m_picker.Mark(link, value); }

// ---- reports for the details views -------------------------------------------

void CDownloadTask::ReportFound() {
  m_host.OnCandidatesFound(m_strName, m_picker.Links());
  for (int i = 0; i < m_picker.Count(); ++i) {
    const AudioFacts& said = m_picker.ServerAudio(i);
    if (said.KnownRate() || said.m_nSeconds >= 0 || !said.m_strSuffix.empty())
      m_host.OnCandidateAudio(m_strName, m_picker.Link(i), said);
  }
}

void CDownloadTask::ReportFailed() {
  const std::string text = m_jobTexts.TakeFailureText();
  if (!m_strURL.empty()) m_host.OnCandidateFailed(m_strName, m_strURL, text);
}

void CDownloadTask::VisitJob(const std::function<void(CBlockDownloader&)>& visit) {
  std::lock_guard<std::mutex> g(m_jobViewLock);
  if (m_pJob) visit(*m_pJob);
}
