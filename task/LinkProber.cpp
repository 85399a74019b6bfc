#include "task/LinkProber.h"

#include <ctime>
#include <utility>

#include "engine/http/HttpSocket.h"
#include "engine/TextRules.h"
#include "engine/http/Url.h"
#include "engine/http/BusyWait.h"
#include "engine/http/HostLimiter.h"
#include "res/Texts.h"
#include "task/AudioProbe.h"

CLinkProber::CLinkProber(const FakeProbe& fake, ProbeHooks hooks, const void* owner)
    : m_fake(fake), m_hooks(std::move(hooks)), m_owner(owner) {}

void CLinkProber::OnMessage(const std::string& text, int /*index*/) {
  if (IsFailureCause(text)) m_strCause = text;
}

bool CLinkProber::Probe(CHttpSocket* socket, const std::string& url, bool audio, const std::string& testing,
                        ProbeFigures& probe) {
  // The probe's connection counts as the task's at the host, like its
  // download's will.
  if (socket) socket->m_pHostOwner = m_owner;
  BusyWait busy;
  for (;;) {
    int retryAfterSec = -1;
    probe = ProbeFigures();
    ProbeOnce(socket, url, audio, testing, probe, retryAfterSec);
    if (m_hooks.stale()) return false;
    if (probe.m_eProbeVerdict != ProbeVerdict::kBusy) return true;
    const int ms = busy.Next(retryAfterSec);
    if (busy.GivenUp()) return true;  // judged as a busy link
    std::string status = T(txt::kHostBusyRetry);
    status.replace(status.find("%d"), 2, std::to_string((ms + 999) / 1000));
    m_hooks.status(status);
    if (!m_hooks.waitUnlessStale(ms)) return false;
    m_hooks.status(testing);
  }
}

// The one place where what the socket saw becomes a probe's figures.
void CLinkProber::ProbeOnce(CHttpSocket* socket, const std::string& url, bool audio, const std::string& testing,
                            ProbeFigures& probe, int& retryAfterSec) {
  retryAfterSec = -1;
  if (m_fake) {
    m_fake(url, probe.m_nTimeMs, probe.m_nLength);
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
  if (!hostKey.empty() && !limiter.Acquire(hostKey, m_owner, m_hooks.stale, permit, [&] {
        waited = true;
        m_hooks.status(T(txt::kWaitingForHost));
      })) {
    probe.m_eProbeVerdict = ProbeVerdict::kFailed;
    return;
  }
  if (waited) m_hooks.status(testing);
  // The socket's connections to the host ride on this permit.
  socket->CoverHost(std::move(permit));
  struct Uncover {
    CHttpSocket* s;
    ~Uncover() { s->CoverHost(HostLimiter::Permit()); }
  } uncover{socket};
  int parseMs = -1, headerMs = -1, time = -1, size = -1;
  std::string contentType;
  ProbeVerdict verdict = ProbeVerdict::kFailed;
  m_strCause.clear();
  socket->OnProbeHead = audio ? &CAudioProbe::HeadEnough : nullptr;
  const bool answered = socket->ProbeSpeed(url, parseMs, headerMs, time, size, contentType, verdict);
  probe.m_strCause = m_strCause;
  if (verdict == ProbeVerdict::kBusy) {
    std::string value;
    if (socket->GetHeaderValue("Retry-After", value, 100) > 0) retryAfterSec = ParseRetryAfter(value, std::time(nullptr));
    probe.m_eProbeVerdict = ProbeVerdict::kBusy;
    // The host that said so: a redirect's target, maybe.
    UrlParts answered;
    if (SplitWebUrl(socket->m_strProbeTarget, answered)) limiter.NoteBusy(HostLimiter::KeyFor(answered));
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
