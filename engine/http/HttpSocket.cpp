#include "engine/http/HttpSocket.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "engine/Common.h"
#include "engine/job/FileInfoExchange.h"
#include "engine/http/RequestAuth.h"
#include "engine/http/Url.h"
#include "engine/http/BodyReader.h"
#include "engine/http/Reply.h"
#include "engine/http/SpeedProbe.h"
#include "engine/http/RequestBuilder.h"
#include "res/Texts.h"

std::atomic<int> ConTimeOut{5};
std::atomic<int> GetTimeOut{15};

namespace {

// A redirect body longer than this is not worth reading off a held
// connection; a fresh connection is cheaper.
constexpr long long kMaxDrainBytes = 8192;
constexpr int kValueMax = 256;

// Each request line gets the parameters its server wants, fresh every time;
// the address the caller holds never carries them. A redirect's target
// never does: whoever answered chose it.
std::string AuthObject(const UrlParts& parts, bool bare) {
  return bare ? parts.object : CRequestAuth::Decorate(parts);
}

}  // namespace

int TimeOutMs(int seconds) {
  long long ms = static_cast<long long>(seconds) * 1000;
  if (ms < 0) return 0;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

CHttpSocket::CHttpSocket(ISocketListener* userData) : m_pHostOwner(userData), m_pUserData(userData) {
  std::memset(m_szRequest, 0, sizeof m_szRequest);
  std::memset(m_szHeader, 0, sizeof m_szHeader);
}

CHttpSocket::~CHttpSocket() { m_transfer.CloseFile(); }

void CHttpSocket::SetURL(const std::string& url) { m_strURL = url; }

void CHttpSocket::SetTempFile(const std::string& path) { m_strTempFile = path; }

void CHttpSocket::Report(const char* text) {
  Listener().OnMessage(T(text), m_nIndex);
}

// ---------------------------------------------------------------- request

bool CHttpSocket::BuildRequest(const std::string& host, const std::string& object, const char* cookie,
                               const char* referer, int start, int end) {
  RequestLines lines;
  lines.host = host;
  lines.target = object;
  lines.cookie = cookie;
  lines.referer = referer;
  lines.start = start;
  lines.end = end;
  lines.askFromZero = m_bAskFromZero;
  lines.extraLines = m_strProxyHeaders;
  std::string text;
  const bool fits = RequestBuilder::Build(lines, text);
  std::memset(m_szRequest, 0, sizeof m_szRequest);
  if (!fits) {
    Report(txt::kSockRequestTooLong);
    return false;
  }
  std::memcpy(m_szRequest, text.data(), text.size());
  return true;
}

// ---------------------------------------------------------------- socket

bool CHttpSocket::Close() {
  m_bReusable = false;
  int err = 0;
  HostLimiter::Permit permit;  // given back once the socket's lock is let go
  {
    std::lock_guard<std::mutex> g(m_sockLock);
    if (!m_conn.HostKey().empty()) permit = m_conn.TakePermit();
    err = m_conn.Close();
    m_socket = 0;
    m_bConnected = 0;
  }
  if (m_bKeepTurn && permit.Held()) m_spare = std::move(permit);
  permit.Release();
  // Reported outside the lock: the text goes out to the owner's callbacks.
  if (err != 0) Report(txt::kSockCloseFailed);
  return err == 0;
}

void CHttpSocket::CoverHost(HostLimiter::Permit&& permit) {
  if (permit.Held()) {
    m_spare = std::move(permit);
    m_bKeepTurn = true;
    return;
  }
  Close();
  m_bKeepTurn = false;
  m_spare.Release();
}

void CHttpSocket::Abort() {
  {
    std::lock_guard<std::mutex> g(m_sockLock);
    m_bAborted = true;
    // Never close here: the owning thread may be blocked on this descriptor,
    // and a reused number would let it read someone else's connection.
    if (m_socket > 0) ::shutdown(m_socket, SHUT_RDWR);
  }
  // A wait for the host's room or for a busy host's time ends now too.
  m_busy.Wake();
  HostLimiter::Instance().WakeAll();
}

void CHttpSocket::AdoptConnection(CHttpSocket& from) {
  std::scoped_lock g(from.m_sockLock, m_sockLock);
  if (!from.m_bConnected || !from.m_bReusable || from.m_bAborted || m_bConnected || m_socket != 0) return;
  m_conn = std::move(from.m_conn);
  m_socket = from.m_socket;
  m_bConnected = 1;
  m_bReusable = true;
  m_strHost = from.m_strHost;
  m_nPort = from.m_nPort;
  from.m_socket = 0;
  from.m_bConnected = 0;
  from.m_bReusable = false;
  if (m_bAborted) ::shutdown(m_socket, SHUT_RDWR);
}

void CHttpSocket::Kick() {
  std::lock_guard<std::mutex> g(m_sockLock);
  m_transfer.NoteKick();
  if (m_socket > 0) ::shutdown(m_socket, SHUT_RDWR);
}

int CHttpSocket::CutTo(int length) { return m_transfer.CutTo(length); }

int CHttpSocket::Received() const { return m_transfer.Received(); }

void CHttpSocket::Run() { m_transfer.Run(); }

bool CHttpSocket::SetTimeout(int ms, bool receive) {
  if (ms < 0) ms = 0;
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (::setsockopt(m_socket, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    Report(txt::kSockSetOptFailed);
    return false;
  }
  return true;
}

bool CHttpSocket::Connect(const std::string& host, int port) {
  m_route = CRequestRoute::Direct(host, port);
  return ConnectRoute();
}

bool CHttpSocket::HoldsRoute() const {
  return m_bConnected && m_bReusable && m_conn.IsOpen() && m_conn.Key() == m_route.Key();
}

bool CHttpSocket::ConnectRoute() {
  if (m_bAborted) return false;
  // A held connection whose last answer still has its body on it is not
  // reused: start afresh.
  if (HoldsRoute()) return true;
  if (!Close()) return false;
  m_strHost = m_route.Target().host;
  m_nPort = m_route.Target().port;
  CConnection conn;
  auto aborted = [this] { return m_bAborted.load(); };
  if (!conn.WaitForHost(m_route, m_pHostOwner, m_spare, aborted,
                        [this] { Report(txt::kWaitingForHost); }))
    return false;
  // An Abort walks away from a lookup, a connect or a handshake that does
  // not answer; ConTimeOut bounds all but the lookup, from the host's turn.
  const long long deadline = GetTickMs() + TimeOutMs(ConTimeOut.load());
  if (!conn.Open(m_route, deadline, aborted, m_bHeaderOnly)) {
    const ConnectFault& fault = conn.Fault();
    if (m_bAborted || fault.kind == ConnectFault::kAbandoned) return false;
    if (fault.kind == ConnectFault::kRefused) m_busy.Refused(conn.HostKey());
    Listener().OnMessage(fault.text, m_nIndex);
    if (fault.kind == ConnectFault::kLookup) Report(txt::kSockLookupFailed);
    if (fault.kind == ConnectFault::kCertificate) m_bCertRefused = true;
    return false;
  }
  {
    std::lock_guard<std::mutex> g(m_sockLock);
    m_conn = std::move(conn);
    m_socket = m_conn.Fd();
    // An Abort that came while connecting still has to stop it.
    if (m_bAborted) ::shutdown(m_socket, SHUT_RDWR);
  }
  if (m_bAborted) return false;
  const int ms = TimeOutMs(GetTimeOut.load());
  if (!SetTimeout(ms, true) || !SetTimeout(ms, false)) return false;
  m_bConnected = 1;
  m_bReusable = true;
  return true;
}

// 0: a whole header was read, 1: the send failed, 2: the header did not
// end within its buffer, 3: the header was cut short (close or time-out).
int CHttpSocket::Exchange() {
  // From the first byte sent the connection carries this exchange, so it
  // cannot be taken again until a body is read off.
  m_bReusable = false;
  m_nExchangeErr = 0;
  const char* p = m_szRequest;
  size_t left = std::strlen(m_szRequest);
  while (left > 0) {
    ssize_t n = m_conn.Send(p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_nExchangeErr = n == 0 || errno == ECONNRESET ? EPIPE : errno;
      return 1;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (ReadHeader()) return 0;
  return m_nHeaderLength >= static_cast<int>(sizeof m_szHeader) ? 2 : 3;
}

bool CHttpSocket::SendRequest() {
  if (!m_bConnected) return false;
  int r = Exchange();
  if (r == 1) Report(txt::kSockSendFailed);
  if (r == 2) Report(txt::kSockHeaderTooLong);
  if (r == 3) Report(txt::kSockHeaderCut);
  return r == 0;
}

bool CHttpSocket::RequestOn() {
  const bool reuse = HoldsRoute();
  if (!ConnectRoute()) return false;
  if (!reuse) return SendRequest();
  int r = Exchange();
  if (r == 0) return true;
  if (r == 2) {
    Report(txt::kSockHeaderTooLong);
    return false;
  }
  // The server let the held connection go (nothing, or a cut header,
  // came back): one fresh try.
  if (!Close() || !ConnectRoute()) return false;
  return SendRequest();
}

bool CHttpSocket::BuildFor(const UrlParts& parts, bool bare, int start, int end) {
  m_route = CRequestRoute::For(parts);
  m_strProxyHeaders = m_route.ProxyHeaders();
  return BuildRequest(HostForHeader(parts), m_route.RequestTarget(AuthObject(parts, bare)), nullptr, nullptr, start,
                      end);
}

bool CHttpSocket::ProxyRefused() {
  if (!m_route.AbsoluteForm() || GetStatusCode() != 407) return false;
  const char* end = static_cast<const char*>(std::memchr(m_szHeader, '\r', static_cast<size_t>(m_nHeaderLength)));
  const std::string line(m_szHeader, end ? static_cast<size_t>(end - m_szHeader) : static_cast<size_t>(m_nHeaderLength));
  char text[512];
  std::snprintf(text, sizeof text, txt::kNetProxyRefused, line.c_str());
  Report(text);
  return true;
}

bool CHttpSocket::ReadHeader() {
  int err = 0;
  const Reply::ReadEnd end = Reply::ReadFrom(m_conn, m_szHeader, sizeof m_szHeader, m_nHeaderLength, err);
  if (err != 0) m_nExchangeErr = err;
  // Whatever did not end with the blank line would leave the rest of the
  // header to be taken for the body.
  return end == Reply::ReadEnd::kWhole;
}

int CHttpSocket::GetStatusCode() const { return Head().Status(); }

int CHttpSocket::GetHeaderValue(const char* name, std::string& out, int maxLength) const {
  return Head().Value(name, out, maxLength);
}

void CHttpSocket::DrainRedirectBody() {
  const BodyFraming framing = Head().Framing();
  // Only a short body of a told length is worth reading; a chunked one or
  // one up to the close goes with its connection.
  if (Head().Closes() || framing.coding != BodyCoding::kIdentity || framing.length < 0 ||
      framing.length > kMaxDrainBytes) {
    Close();
    return;
  }
  BodyReader body(m_conn, framing, kMaxDrainBytes, 1024);
  for (;;) {
    const BodyReader::Got got = body.Next(1024, false);
    if (got == BodyReader::Got::kEnd) break;
    if (got != BodyReader::Got::kData) {
      Close();
      return;
    }
  }
  m_bReusable = true;
}

bool CHttpSocket::MetBusyHost(bool requested) {
  std::string after;  // stays empty without the header
  if (requested) {
    GetHeaderValue("Retry-After", after, kValueMax);
    m_busy.Reply(GetStatusCode(), after, m_conn.HostKey());
  } else if (m_bConnected && !m_transfer.Kicked() && (m_nExchangeErr == ECONNRESET || m_nExchangeErr == EPIPE))
    m_busy.Refused(m_conn.HostKey());
  return m_busy.Pending();
}

bool CHttpSocket::WaitOutBusy(bool requested) {
  if (!MetBusyHost(requested)) return false;
  m_transfer.CloseFile();
  Close();
  m_spare.Release();  // its place goes to whoever the host has room for meanwhile
  if (m_busy.GivenUp()) {
    Report(txt::kVerdictHostBusy);
    return false;
  }
  Report(m_busy.Text().c_str());
  m_busy.Wait([this] { return m_bAborted.load(); });
  return true;
}

bool CHttpSocket::HostWanted() const {
  const std::string& key = m_conn.HostKey();
  return !key.empty() && HostLimiter::Instance().Waiting(key) > 0;
}

// ---------------------------------------------------------------- probes

bool CHttpSocket::FollowRedirect(std::string& url, UrlParts& parts) {
  std::string location;
  if (GetHeaderValue("Location", location, kValueMax) <= 0) {
    Report(txt::kSockNoLocation);
    return false;
  }
  std::string target = ResolveUrl(url, location);
  DrainRedirectBody();
  UrlParts next;
  if (!SplitWebUrl(target, next)) {
    Report(txt::kSockBadUrl);
    return false;
  }
  url = target;
  parts = next;
  return true;
}

namespace {
// Marks the connections of a header-only step for as long as it runs.
struct HeaderOnly {
  explicit HeaderOnly(bool& flag) : m_flag(flag) { m_flag = true; }
  ~HeaderOnly() { m_flag = false; }
  bool& m_flag;
};
}  // namespace

bool CHttpSocket::GetFileInfo(CHttpSocket* s, std::string& url, int& length, bool& rangeSupported) {
  HeaderOnly headerOnly(s->m_bHeaderOnly);
  s->m_busy.Reset();
  s->m_bKeepTurn = true;
  bool ok = false;
  do ok = FileInfoExchange::Ask(*s, url, length, rangeSupported);
  while (!ok && s->WaitOutBusy(false));
  s->m_bKeepTurn = false;
  s->m_spare.Release();
  return ok;
}

bool CHttpSocket::ProbeSpeed(const std::string& url, int& parseMs, int& headerMs, int& reconnectMs, int& length,
                             std::string& contentType) {
  ProbeVerdict verdict;
  return ProbeSpeed(url, parseMs, headerMs, reconnectMs, length, contentType, verdict);
}

bool CHttpSocket::ProbeSpeed(const std::string& url, int& parseMs, int& headerMs, int& reconnectMs, int& length,
                             std::string& contentType, ProbeVerdict& verdict) {
  HeaderOnly headerOnly(m_bHeaderOnly);
  return SpeedProbe::Run(*this, url, parseMs, headerMs, reconnectMs, length, contentType, verdict);
}
