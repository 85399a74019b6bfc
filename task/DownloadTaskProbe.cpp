// The candidate steps of a download task: probing the links, picking one,
// and telling the host what became of each, for the details views.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "engine/BlockDownloader.h"
#include "engine/HttpSocket.h"
#include "engine/Url.h"
#include "engine/http/BusyWait.h"
#include "engine/http/HostLimiter.h"
#include "res/Texts.h"
#include "task/AudioProbe.h"
#include "task/DownloadTask.h"
#include "task/QualityPick.h"
#include "engine/TextRules.h"

namespace {

constexpr int kProbePasses = 3;

}  // namespace

bool CDownloadTask::AnyCandidateTime() const {
  for (int i = 0; i < m_nCandidates && i < kMaxCandidates; ++i)
    if (m_nCandidateTime[i] >= 0) return true;
  return false;
}

// The one place where what the socket saw becomes a probe's figures.
void CDownloadTask::ProbeOne(CHttpSocket* socket, const std::string& url, bool audio, const std::string& testing,
                             ProbeFigures& probe, int& retryAfterSec) {
  retryAfterSec = -1;
  if (m_fnProbe) {
    m_fnProbe(url, probe.m_nTimeMs, probe.m_nLength);
    if (probe.m_nTimeMs < 0) probe.m_eProbeVerdict = ProbeVerdict::kFailed;
    return;
  }
  // The probe's connections count against its host's limit like any
  // block's; it opens one at a time, so one permit covers them.
  HostLimiter& limiter = HostLimiter::Instance();
  HostLimiter::Permit permit;
  UrlParts parts;
  const std::string hostKey = SplitWebUrl(url, parts) ? HostLimiter::KeyFor(parts) : std::string();
  bool waited = false;
  if (!hostKey.empty() && !limiter.Acquire(hostKey, this, [this] { return Stale(); }, permit, [&] {
        waited = true;
        SetStatus(T(txt::kWaitingForHost));
      })) {
    probe.m_eProbeVerdict = ProbeVerdict::kFailed;
    return;
  }
  if (waited) SetStatus(testing);
  int parseMs = -1, headerMs = -1, time = -1, size = -1;
  std::string contentType;
  ProbeVerdict verdict = ProbeVerdict::kFailed;
  m_strProbeCause.clear();
  socket->OnProbeHead = audio ? &CAudioProbe::HeadEnough : nullptr;
  const bool answered = socket->ProbeSpeed(url, parseMs, headerMs, time, size, contentType, verdict);
  probe.m_strCause = m_strProbeCause;
  if (verdict == ProbeVerdict::kBusy) {
    std::string value;
    if (socket->GetHeaderValue("Retry-After", value, 100) > 0) retryAfterSec = ParseRetryAfter(value, std::time(nullptr));
    probe.m_eProbeVerdict = ProbeVerdict::kBusy;
    if (!hostKey.empty()) limiter.NoteBusy(hostKey, limiter.Held(hostKey));
    return;
  }
  if (!answered || time < 0) {
    // A page is refused by the probe itself, by its first bytes under its
    // label; an error status still counts as no answer.
    const bool page = verdict == ProbeVerdict::kNotASong && socket->GetStatusCode() < 400;
    if (page) probe.m_strContentType = contentType;
    probe.m_eProbeVerdict = page ? ProbeVerdict::kNotASong : ProbeVerdict::kFailed;
    return;
  }
  probe.m_strContentType = contentType;
  // The header of the probe's last reply is still in the socket.
  const int status = socket->GetStatusCode();
  std::string value;
  probe.m_bRanges = status == 206 || (socket->GetHeaderValue("Accept-Ranges", value, 100) > 0 &&
                                      AsciiLower(value).find("bytes") != std::string::npos);
  const bool hasLength = socket->GetHeaderValue("Content-Length", value, 100) >= 0;
  // An error page's length says nothing about the song.
  if (status >= 400) {
    probe.m_eProbeVerdict = ProbeVerdict::kFailed;
    return;
  }
  probe.m_nTimeMs = time;
  probe.m_nLength = hasLength ? size : -1;
  // Last: a ranged read past a large tag replaces the reply in the socket.
  if (audio) probe.m_audio = CAudioProbe::Read(*socket, url, probe.m_nLength, probe.m_bRanges);
}

bool CDownloadTask::ProbeCandidates() {
  if (m_nCandidates <= 0) return false;
  if (m_nLastProbed >= m_nCandidates - 1) return AnyCandidateTime();

  const TaskSettings settings = m_host.GetSettings();
  const bool checkSpeed = settings.m_bCheckSpeed;
  const bool audio = ReadsAudio(settings.m_strFileType);
  std::unique_ptr<CHttpSocket> socket;
  if (!m_fnProbe) {
    socket = std::make_unique<CHttpSocket>(this);
    socket->OnMessage = &CDownloadTask::OnProbeMessage;
    std::lock_guard<std::mutex> g(m_stateLock);
    m_pProbeSocket = socket.get();
  }
  int stoppedAt = m_nCandidates - 1;
  for (int i = m_nLastProbed + 1; i < m_nCandidates; ++i) {
    if (Stale()) {
      stoppedAt = i - 1;
      break;
    }
    std::string status = T(txt::kTestingLink);
    status.replace(status.find("%d"), 2, std::to_string(i + 1));
    SetStatus(status);
    ProbeFigures probe;
    if (!ProbeThroughBusy(socket.get(), m_strCandidates[i], audio, status, probe)) {
      stoppedAt = i - 1;
      break;
    }
    const AudioFacts& said = m_candidateServer[i];
    m_nCandidateKbps[i] = said.KnownRate() ? said.m_nKbps : probe.m_audio.m_nKbps;
    const CandidateVerdict verdict = JudgeProbe(probe, m_nMinSize, m_nMaxSize);
    m_host.OnCandidateProbed(m_strName, m_strCandidates[i], probe, verdict);
    if (verdict != CandidateVerdict::kUsable) {
      m_nCandidateTime[i] = -1;
      continue;
    }
    m_nCandidateTime[i] = probe.m_nTimeMs;
    // Quality first weighs every link, whatever answered first.
    if (!settings.m_bPreferQuality && (probe.m_nTimeMs <= kFastEnoughMs || !checkSpeed)) {
      stoppedAt = i;
      break;
    }
  }
  m_nLastProbed = stoppedAt;
  if (socket) {
    {
      std::lock_guard<std::mutex> g(m_stateLock);
      m_pProbeSocket = nullptr;
    }
    socket->Close();
  }
  return AnyCandidateTime();
}

bool CDownloadTask::ProbeThroughBusy(CHttpSocket* socket, const std::string& url, bool audio,
                                     const std::string& testing, ProbeFigures& probe) {
  BusyWait busy;
  for (;;) {
    int retryAfterSec = -1;
    probe = ProbeFigures();
    ProbeOne(socket, url, audio, testing, probe, retryAfterSec);
    if (Stale()) return false;
    if (probe.m_eProbeVerdict != ProbeVerdict::kBusy) return true;
    const int ms = busy.Next(retryAfterSec);
    if (busy.GivenUp()) return true;  // judged as a busy link
    std::string status = T(txt::kHostBusyRetry);
    status.replace(status.find("%d"), 2, std::to_string((ms + 999) / 1000));
    SetStatus(status);
    if (!WaitUnlessStale(ms)) return false;
    SetStatus(testing);
  }
}

bool CDownloadTask::WaitUnlessStale(int ms) {
  std::unique_lock<std::mutex> g(m_stateLock);
  return !m_stateCv.wait_for(g, std::chrono::milliseconds(ms), [this] { return Stale(); });
}

int CDownloadTask::PickCandidate() const {
  const int k = m_nLastProbed;
  if (k < 0) return -1;
  if (k < m_nCandidates - 1) return k;
  if (m_nCandidateTime[k] >= 0 && m_nCandidateTime[k] <= kFastEnoughMs) return k;
  int best = -1;
  for (int i = 0; i <= k && i < kMaxCandidates; ++i) {
    const int t = m_nCandidateTime[i];
    if (t >= 0 && t < kUnusableMs && (best < 0 || t < m_nCandidateTime[best])) best = i;
  }
  return best;
}

int CDownloadTask::ChooseCandidate() {
  bool probed = false;
  for (int pass = 0; pass < kProbePasses && !probed; ++pass) {
    if (Stale()) return -1;
    probed = ProbeCandidates();
    if (!probed) m_nLastProbed = -1;  // the next pass probes them all again
  }
  if (Stale()) return -1;
  const TaskSettings settings = m_host.GetSettings();
  int k = -1;
  if (probed && settings.m_bPreferQuality)
    k = QualityPick::Choose(m_nCandidateTime, m_nCandidateKbps, std::min(m_nCandidates, kMaxCandidates), kUnusableMs);
  // Without a known bitrate the winner is merely the quickest.
  ChosenReason why = k >= 0 && m_nCandidateKbps[k] > 0 ? ChosenReason::kBestQuality : ChosenReason::kNone;
  if (k < 0) k = probed ? PickCandidate() : -1;
  if (k < 0) {
    GiveUp(T(txt::kProbeFailed));
    return -1;
  }
  if (why == ChosenReason::kNone) why = ReasonForPick(m_nCandidateTime[k], settings.m_bCheckSpeed, kFastEnoughMs);
  m_host.OnCandidateChosen(m_strName, m_strCandidates[k], why);
  return k;
}

int CDownloadTask::SearchAndChoose() {
  m_nCandidates = -1;
  m_nLastProbed = -1;
  bool found = false;
  for (int i = 0; i < kSearchAttempts && !found; ++i) {
    if (Stale()) return -1;
    found = SearchSong();
  }
  if (Stale()) return -1;
  if (!found) {
    GiveUp(T(txt::kSearchFailed));
    return -1;
  }
  ReportFound();
  return ChooseCandidate();
}

void CDownloadTask::MarkCandidate(const std::string& link, int value) {
  for (int i = 0; i < m_nCandidates && i < kMaxCandidates; ++i) {
    if (m_strCandidates[i] == link) {
      m_nCandidateTime[i] = value;
      return;
    }
  }
}

// ---- reports for the details views -------------------------------------------

void CDownloadTask::ReportFound() {
  std::vector<std::string> links;
  for (int i = 0; i < m_nCandidates && i < kMaxCandidates; ++i) links.push_back(m_strCandidates[i]);
  m_host.OnCandidatesFound(m_strName, links);
  for (int i = 0; i < m_nCandidates && i < kMaxCandidates; ++i)
    if (m_candidateServer[i].KnownRate() || m_candidateServer[i].m_nSeconds >= 0 || !m_candidateServer[i].m_strSuffix.empty())
      m_host.OnCandidateAudio(m_strName, m_strCandidates[i], m_candidateServer[i]);
}

void CDownloadTask::ReportFailed() {
  std::string text;
  {
    std::lock_guard<std::mutex> g(m_numLock);
    // Why the connection failed says more than which step it failed in.
    text = m_strLastCause.empty() ? m_strLastJobText : m_strLastCause;
    m_strLastCause.clear();
  }
  if (!m_strURL.empty()) m_host.OnCandidateFailed(m_strName, m_strURL, text);
}

void CDownloadTask::KeepJobText(const std::string& text) {
  std::lock_guard<std::mutex> g(m_numLock);
  m_strLastJobText = text;
  if (IsFailureCause(text)) m_strLastCause = text;
}

void CDownloadTask::ForgetJobTexts() {
  std::lock_guard<std::mutex> g(m_numLock);
  m_strLastJobText.clear();
  m_strLastCause.clear();
}

void CDownloadTask::OnProbeMessage(void* user, const std::string& text, int) {
  // Called on the probing thread itself, inside ProbeSpeed.
  auto* task = static_cast<CDownloadTask*>(user);
  if (IsFailureCause(text)) task->m_strProbeCause = text;
}

void CDownloadTask::VisitJob(const std::function<void(CBlockDownloader&)>& visit) {
  std::lock_guard<std::mutex> g(m_jobViewLock);
  if (m_pJob) visit(*m_pJob);
}
