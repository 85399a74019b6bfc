#include "engine/http/HttpSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/job/AttemptBudget.h"
#include "engine/http/BodySniff.h"
#include "engine/http/ChunkedDecoder.h"
#include "engine/Common.h"
#include "engine/job/DiskWrite.h"
#include "engine/job/FileInfoExchange.h"
#include "engine/http/HttpFraming.h"
#include "engine/job/OwnFile.h"
#include "engine/http/RequestAuth.h"
#include "engine/TextRules.h"
#include "engine/http/Url.h"
#include "engine/http/Reply.h"
#include "engine/http/RequestBuilder.h"
#include "res/Texts.h"

std::atomic<int> ConTimeOut{5};
std::atomic<int> GetTimeOut{15};

namespace {

// A redirect body longer than this is not worth reading off a held
// connection; a fresh connection is cheaper.
constexpr long long kMaxDrainBytes = 8192;
constexpr int kValueMax = 256;


int SaturatedMs(int seconds) {
  long long ms = static_cast<long long>(seconds) * 1000;
  if (ms < 0) return 0;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// 307 and 308 are followed like 302: we only ever send GET, which stays GET.
bool IsRedirect(int code) { return code == 301 || code == 302 || code == 307 || code == 308; }
bool IsBusyStatus(int code) { return BusyAnswer::IsBusyStatus(code); }

// Each request line gets the parameters its server wants, fresh every time;
// the address the caller holds never carries them. A redirect's target
// never does: whoever answered chose it.
std::string AuthObject(const UrlParts& parts, bool bare) {
  return bare ? parts.object : CRequestAuth::Decorate(parts);
}

}  // namespace

CHttpSocket::CHttpSocket(void* userData) : m_pUserData(userData) {
  std::memset(m_szBuffer, 0, sizeof m_szBuffer);
  std::memset(m_szRequest, 0, sizeof m_szRequest);
  std::memset(m_szHeader, 0, sizeof m_szHeader);
}

CHttpSocket::~CHttpSocket() { CloseFile(); }

void CHttpSocket::SetURL(const std::string& url) { m_strURL = url; }

void CHttpSocket::SetTempFile(const std::string& path) { m_strTempFile = path; }

void CHttpSocket::Report(const char* text) {
  if (OnMessage) OnMessage(m_pUserData, T(text), m_nIndex);
}

bool CHttpSocket::FlushFile() {
  const size_t left = m_nPending;
  m_nPending = 0;
  if (left == 0) return true;
  if (m_fd < 0) return false;
  if (WriteAll(m_fd, m_writeBuf.data(), left)) return true;
  NoteWriteError(errno);
  return false;
}

void CHttpSocket::NoteWriteError(int err) {
  if (IsLocalWriteError(err)) m_nLocalError = err;
}

void CHttpSocket::CloseFile() {
  FlushFile();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  if (m_file) std::fclose(m_file);
  m_file = nullptr;
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
  m_bKicked = true;
  m_nActivityMs = GetTickMs();
  if (m_socket > 0) ::shutdown(m_socket, SHUT_RDWR);
}

int CHttpSocket::CutTo(int length) {
  std::lock_guard<std::mutex> g(m_cutLock);
  if (m_nShared < 0) return -1;
  const int end = m_nCutLength >= 0 && m_nCutLength < m_nLength ? m_nCutLength : m_nLength;
  const int cut = length > m_nShared ? length : m_nShared;
  if (cut >= end) return -1;
  m_nCutLength = cut;
  return cut;
}

int CHttpSocket::Received() const {
  std::lock_guard<std::mutex> g(m_cutLock);
  return m_nShared;
}

void CHttpSocket::ApplyCut() {
  std::lock_guard<std::mutex> g(m_cutLock);
  if (m_nCutLength >= 0 && m_nCutLength < m_nLength) m_nLength = m_nCutLength;
}

int CHttpSocket::TakeChunk(int received, int n) {
  m_nActivityMs = GetTickMs();
  std::lock_guard<std::mutex> g(m_cutLock);
  if (m_nCutLength >= 0 && m_nCutLength < m_nLength) m_nLength = m_nCutLength;
  // Bytes past a moved end belong to another block's file.
  if (n > m_nLength - received) n = m_nLength - received > 0 ? m_nLength - received : 0;
  m_nShared = received + n;
  return n;
}

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
  if (!conn.WaitForHost(m_route, m_pHostOwner ? m_pHostOwner : m_pUserData, m_spare, aborted,
                        [this] { Report(txt::kWaitingForHost); }))
    return false;
  // An Abort walks away from a lookup, a connect or a handshake that does
  // not answer; ConTimeOut bounds all but the lookup, from the host's turn.
  const long long deadline = GetTickMs() + SaturatedMs(ConTimeOut.load());
  if (!conn.Open(m_route, deadline, aborted, m_bHeaderOnly)) {
    const ConnectFault& fault = conn.Fault();
    if (m_bAborted || fault.kind == ConnectFault::kAbandoned) return false;
    if (fault.kind == ConnectFault::kRefused) m_busy.Refused(conn.HostKey());
    if (OnMessage) OnMessage(m_pUserData, fault.text, m_nIndex);
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
  const int ms = SaturatedMs(GetTimeOut.load());
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

// Reads a redirect's body off the held connection so the next answer starts
// at its own header; anything doubtful gives up the connection instead.
bool CHttpSocket::ServerCloses() {
  std::string value;
  return GetHeaderValue("Connection", value, kValueMax) >= 0 && strcasecmp(value.c_str(), "close") == 0;
}

void CHttpSocket::DrainRedirectBody() {
  std::string value;
  const bool closing = ServerCloses();
  long long left = GetHeaderValue("Content-Length", value, kValueMax) >= 0 && !value.empty()
                       ? LeadingDigits(value)
                       : -1;
  if (closing || left < 0 || left > kMaxDrainBytes) {
    Close();
    return;
  }
  while (left > 0) {
    ssize_t n = m_conn.Recv(m_szBuffer, left < 1024 ? static_cast<size_t>(left) : 1024, false);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Close();
      return;
    }
    left -= n;
  }
  m_bReusable = true;
}

// ---------------------------------------------------------------- block

int CHttpSocket::OpenTempFile() {
  CloseFile();
  m_nDownloaded = 0;
  // Starting afresh is decided once, at the run's first open: a block asked
  // again keeps what its earlier attempts wrote.
  const bool resume = m_bResume || (m_bOpened && m_bRanged);
  m_bOpened = true;
  m_bBadReply = false;
  const char* path = m_strTempFile.c_str();
  // Never through a link, nor into a file someone else may write.
  int fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st{};
    if (resume && ::fstat(fd, &st) == 0 && OwnFile::Trusted(st) && st.st_size > 0 &&
        st.st_size <= m_nLength && ::lseek(fd, 0, SEEK_END) == st.st_size) {
      m_fd = fd;
      m_nDownloaded = static_cast<int>(st.st_size);
      {
        std::lock_guard<std::mutex> g(m_cutLock);
        m_nShared = m_nDownloaded;
      }
      Report(txt::kSockTempOpened);
      return m_nDownloaded;
    }
    ::close(fd);
  }
  ::unlink(path);
  {
    std::lock_guard<std::mutex> g(m_cutLock);
    m_nShared = 0;
  }
  fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    NoteWriteError(errno);
    Report(txt::kSockTempOpenError);
    return 0;
  }
  m_fd = fd;
  Report(txt::kSockTempCreated);
  return 0;
}

bool CHttpSocket::ConnectAndRequest() {
  try {
    m_nActivityMs = GetTickMs();
    m_nFirstByteMs = -1;
    m_nAskedMs = m_nActivityMs.load();
    ApplyCut();
    long long start = m_nStart;
    const long long end = static_cast<long long>(m_nStart) + m_nLength - 1;
    const int d = OpenTempFile();
    if (d > 0) start += d;
    // The job's first reply is still on the connection: its body goes on
    // from where the block file ends, already asked for.
    if (std::exchange(m_bReplyHeld, false)) {
      if (d == m_nHeldStart && m_bConnected) {
        m_nRequestStart = m_nHeldStart;
        m_nAskedMs = m_nHeldAskedMs;
        return true;
      }
      Close();
    }
    // Cut down to what the file holds: asking would only fetch bytes that
    // now belong to another block.
    if (d == m_nLength && d > 0) {
      std::lock_guard<std::mutex> g(m_cutLock);
      if (m_nCutLength >= 0) return false;
    }
    m_nRequestStart = start;
    UrlParts parts;
    if (!SplitWebUrl(m_strURL, parts)) {
      Report(txt::kSockBadUrl);
      return false;
    }
    if (start > INT_MAX) return false;
    if (!BuildFor(parts, m_bBare, static_cast<int>(start), end > INT_MAX ? INT_MAX : static_cast<int>(end))) return false;
    // A connection kept from a block that ended exactly at its reply's end
    // carries the next request; anything else starts afresh.
    if (HoldsRoute()) return RequestOn();
    if (!Close()) return false;
    return ConnectRoute() && SendRequest() && !ProxyRefused();
  } catch (...) {
    Report(txt::kSockHeadError);
    return false;
  }
}

// Only a body that starts at the byte we asked for may reach the block file.
bool CHttpSocket::ReplyFitsRequest() {
  const int code = GetStatusCode();
  std::string value;
  ContentRange range;
  const bool ranged = code == 206 && GetHeaderValue("Content-Range", value, kValueMax) >= 0 &&
                      ParseContentRange(value, range);
  bool ok;
  if (m_nRequestStart > 0)
    ok = ranged && range.first == m_nRequestStart;
  else
    ok = code == 200 || (ranged && range.first == 0);
  if (!ok && OnMessage) {
    char text[256];
    std::snprintf(text, sizeof text, txt::kSockReplyMismatch, code);
    OnMessage(m_pUserData, T(text), m_nIndex);
  }
  return ok;
}

bool CHttpSocket::CheckReply() {
  m_bChunked = false;
  m_nBodyLength = -1;
  m_bSniff = false;
  if (!ReplyFitsRequest()) return false;
  const int code = GetStatusCode();
  auto mismatch = [&] {
    char text[256];
    std::snprintf(text, sizeof text, txt::kSockReplyMismatch, code);
    Report(text);
    return false;
  };
  std::string value;
  ContentRange range;
  const bool ranged = code == 206 && GetHeaderValue("Content-Range", value, kValueMax) >= 0 &&
                      ParseContentRange(value, range);
  // Another total means another file: no later attempt can mend a split
  // made for the old one.
  if (ranged && m_nFileLength > 0 && range.total >= 0 && range.total != m_nFileLength) {
    m_bFileChanged = true;
    return false;
  }

  std::string te, ce;
  GetHeaderValue("Transfer-Encoding", te, kValueMax);
  GetHeaderValue("Content-Encoding", ce, kValueMax);
  const BodyCoding coding = ReadBodyCoding(te, ce);
  if (coding == BodyCoding::kUnsupported) {
    Report(txt::kSockUnsupportedCoding);
    return false;
  }
  m_bChunked = coding == BodyCoding::kChunked;
  if (!m_bChunked && GetHeaderValue("Content-Length", value, kValueMax) >= 0) {
    long long n = 0;
    if (!ParseContentLength(value, n)) return mismatch();
    // A 200 is the whole file and a 206 exactly its range: a body of any
    // other length is not the bytes we asked for (a busy page, say).
    if (code == 200 && m_nFileLength > 0 && n != m_nFileLength) return mismatch();
    if (ranged && n != range.last - range.first + 1) return mismatch();
    m_nBodyLength = n;
  }

  // A text label does not refuse the reply: the file's first bytes decide,
  // and they come with the reply that starts at byte 0.
  std::string type;
  GetHeaderValue("Content-Type", type, kValueMax);
  m_bTextLabel = IsTextContentType(type);
  m_bSniff = m_nRequestStart == 0;
  return true;
}

bool CHttpSocket::FlushAndReport(long long received) {
  if (!FlushFile()) return false;
  m_nLastFlushMs = GetTickMs();
  // Written first, reported second: a crash never loses a reported byte.
  if (OnProgress) OnProgress(m_pUserData, static_cast<int>(received), m_nLength, m_nIndex);
  return true;
}

bool CHttpSocket::ReceiveBody() {
  // A block that is already whole completes without a body, even when its
  // request found no server.
  const bool whole = m_nLength > 0 && m_nDownloaded == m_nLength;
  if ((!m_bConnected && !whole) || m_nLength == 0) return false;
  // A block of unknown length runs to the end of the body: the chunked
  // coding's last chunk, the Content-Length, or the server's close.
  const bool toEnd = m_nLength < 0;
  long long received = m_nDownloaded;
  long long rawLeft = whole ? 0 : m_nBodyLength;
  bool failed = false;  // the block file could not be written
  bool bad = false;     // the reply broke its own framing or is not a song
  bool ended = false;   // the body's own end was seen
  bool judged = !m_bSniff || received > 0;
  CChunkedDecoder decoder;
  if (m_writeBuf.empty()) m_writeBuf.resize(64 * 1024);
  m_nPending = 0;
  m_nLastFlushMs = GetTickMs();
  Report(txt::kSockReceiveStart);
  // m_nLength may move down under us (a split); TakeChunk keeps it current.
  // Receives of 16 KB: at 1 KB a call the system calls alone cost a fast
  // link half its throughput.
  if (m_recvBuf.empty()) m_recvBuf.resize(kReceiveChunk);
  char* const chunk = m_recvBuf.data();
  while (!whole && !ended && (toEnd || received < m_nLength)) {
    size_t cap = kReceiveChunk;
    if (!m_bChunked) {
      if (!toEnd && received + static_cast<long long>(cap) > m_nLength) cap = static_cast<size_t>(m_nLength - received);
      if (rawLeft >= 0 && static_cast<long long>(cap) > rawLeft) cap = static_cast<size_t>(rawLeft);
      if (cap == 0) {
        ended = true;
        break;
      }
    }
    ssize_t n = m_conn.Recv(chunk, cap, m_nPending > 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && m_nPending > 0) {
      // The stream paused with bytes still gathered: give them a moment to
      // be joined by more, then put them in the file before waiting long.
      if (m_conn.WaitReadable(100)) continue;
      if (judged && !FlushAndReport(received)) {
        failed = true;
        break;
      }
      if (judged) continue;
      n = m_conn.Recv(chunk, cap, false);
      if (n < 0 && errno == EINTR) continue;
    }
    if (n == 0 && toEnd && !m_bChunked && rawLeft < 0) {
      ended = true;  // a reply without a length ends at the close
      break;
    }
    if (n <= 0) {
      Close();
      break;
    }
    if (m_nFirstByteMs < 0) m_nFirstByteMs = GetTickMs();
    // Gathered and written 64 KB at a time: a write per 1 KB chunk costs as
    // much as the receive itself.
    if (m_fd < 0) {
      failed = true;
      break;
    }
    if (m_nPending + static_cast<size_t>(n) > m_writeBuf.size()) {
      // 64 KB of blanks: not a page we can recognise, but no audio either.
      if (!judged && m_bTextLabel) {
        Report(txt::kSockNotASong);
        bad = true;
        break;
      }
      judged = true;
      if (!FlushAndReport(received)) {
        failed = true;
        break;
      }
    }
    size_t produced = static_cast<size_t>(n);
    if (m_bChunked) {
      size_t used = 0;
      const ChunkedStatus st =
          decoder.Feed(chunk, static_cast<size_t>(n), m_writeBuf.data() + m_nPending, used, produced);
      if (st == ChunkedStatus::kError) {
        Report(txt::kSockBadChunk);
        bad = true;
        break;
      }
      ended = st == ChunkedStatus::kDone;
    } else {
      std::memcpy(m_writeBuf.data() + m_nPending, chunk, produced);
      if (rawLeft > 0) rawLeft -= n;
    }
    if (toEnd) {
      m_nActivityMs = GetTickMs();
      if (received + static_cast<long long>(produced) > INT_MAX) {
        Report(txt::kSockLengthTooLarge);
        bad = true;
        break;
      }
    } else {
      // Decoded bytes past the block's end (a whole-file 200, an open
      // range, or an end a split moved) belong to another block.
      produced = static_cast<size_t>(TakeChunk(static_cast<int>(received), static_cast<int>(produced)));
    }
    m_nPending += produced;
    received += static_cast<long long>(produced);
    if (!judged) {
      const SongBytes j = JudgeBody(m_writeBuf.data(), m_nPending, m_bTextLabel);
      if (j == SongBytes::kMarkup) {
        Report(txt::kSockNotASong);
        bad = true;
        break;
      }
      judged = j == SongBytes::kSong;
    }
    if (judged && m_nPending > 0 && GetTickMs() - m_nLastFlushMs >= 200 && !FlushAndReport(received)) {
      failed = true;
      break;
    }
  }
  // Text that has not shown an audio signature never reaches the file: a
  // page when the whole body is here, else asked again from its start.
  if (!bad && !judged && m_bTextLabel) {
    if (ended || received == m_nLength) Report(txt::kSockNotASong);
    bad = true;
  }
  // Bytes of a reply that failed its checks never reach the file; the
  // rest is written and reported.
  if (bad) {
    received -= static_cast<long long>(m_nPending);
    m_nPending = 0;
  } else if (m_nPending > 0 && !FlushAndReport(received)) {
    failed = true;
  }
  m_bBadReply = bad;
  m_nAttemptBytes = received - m_nDownloaded;
  CloseFile();
  if (const int err = m_nLocalError.load()) {
    // Say why: no other attempt or link can cure a full disk.
    if (OnMessage) OnMessage(m_pUserData, LocalWriteErrorText(err), m_nIndex);
    return false;
  }
  if (failed) Report(txt::kSockDownloadFailed);
  Report(txt::kSockReceiveDone);
  if (failed || bad) return false;
  ApplyCut();  // a cut down to what had come in ends the block here
  if (toEnd) {
    if (ended && received > 0) {
      std::lock_guard<std::mutex> g(m_cutLock);
      m_nLength = static_cast<int>(received);
      m_bCompleted = 1;
    }
  } else if (received == m_nLength) {
    m_bCompleted = 1;
    // Nothing of this reply left unread: the connection may carry the job's
    // next block, which then runs at the speed this one has shown.
    std::string value;
    const bool sized = GetHeaderValue("Content-Length", value, kValueMax) > 0 &&
                       LeadingDigits(value) == received - m_nDownloaded;
    m_bReusable = m_bConnected && sized && !ServerCloses();
  }
  return m_bCompleted == 1;
}

void CHttpSocket::Run() {
  CAttemptBudget budget(m_nRetries);
  bool paused = false;  // the last attempt had a reply and then went quiet
  long long most = -1;  // the most the block file has held in this run
  while (budget.Left() && !m_bAborted) {
    m_nAttemptBytes = 0;
    const bool requested = ConnectAndRequest();
    if (m_bAborted) break;
    if (WaitOutBusy(requested)) continue;
    if (m_busy.GivenUp()) break;
    const bool whole = m_nLength > 0 && m_nDownloaded == m_nLength;
    const bool replied = whole || (requested && CheckReply());
    if (replied) ReceiveBody();
    CloseFile();
    // A connection another task is owed goes back instead of on to our next block.
    if (!m_bCompleted || !m_bReusable || m_conn.HostOwed()) Close();
    if (m_bAborted) break;
    if (m_bCompleted) {
      if (OnSuccess) OnSuccess(m_pUserData, m_nIndex);
      return;
    }
    if (m_bFileChanged) break;
    if (m_nLocalError) break;
    if (m_bCertRefused) break;
    paused = m_bKicked.exchange(false) || (replied && !m_bBadReply);
    // Bytes that only make up for a restart from the start are no progress.
    const long long held = m_nDownloaded + m_nAttemptBytes;
    const long long base = most < 0 ? m_nDownloaded : most;
    budget.EndAttempt(held - base, m_nLength);
    most = std::max(base, held);
  }
  CloseFile();
  Close();
  // A stopped job wants neither answer.
  if (m_bAborted) return;
  if (m_bCompleted) {
    if (OnSuccess) OnSuccess(m_pUserData, m_nIndex);
    return;
  }
  // The attempts' own texts tell of refusals; a host that kept going quiet
  // would otherwise end the job without a word.
  if (!budget.Left() && paused) Report(txt::kSockStalledOut);
  if (OnFailure) OnFailure(m_pUserData, m_nIndex);
}

bool CHttpSocket::MetBusyHost(bool requested) {
  std::string after;  // stays empty without the header
  if (requested) {
    GetHeaderValue("Retry-After", after, kValueMax);
    m_busy.Reply(GetStatusCode(), after, m_conn.HostKey());
  } else if (m_bConnected && !m_bKicked && (m_nExchangeErr == ECONNRESET || m_nExchangeErr == EPIPE))
    m_busy.Refused(m_conn.HostKey());
  return m_busy.Pending();
}

bool CHttpSocket::WaitOutBusy(bool requested) {
  if (!MetBusyHost(requested)) return false;
  CloseFile();
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

bool CHttpSocket::ReadLength(int& length) {
  std::string value;
  long long n = 0;
  if (GetHeaderValue("Content-Length", value, kValueMax) >= 0) n = LeadingDigits(value);
  if (n > INT_MAX) {
    Report(txt::kSockLengthTooLarge);
    return false;
  }
  length = static_cast<int>(n);
  return true;
}

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

// First bytes of the body on the connection, judged; the body is then of
// no further use. Bounded in bytes and time: a probe must not hang on a
// server that sends its header and then nothing.
SongBytes CHttpSocket::SniffBody(bool labelledText) {
  std::string te, ce, value;
  GetHeaderValue("Transfer-Encoding", te, kValueMax);
  GetHeaderValue("Content-Encoding", ce, kValueMax);
  long long left = -1;
  if (GetHeaderValue("Content-Length", value, kValueMax) < 0 || !ParseContentLength(value, left)) left = -1;
  const long long deadline = GetTickMs() + std::min(SaturatedMs(GetTimeOut.load()), 2000);
  return CBodySniff::Read(m_conn, ReadBodyCoding(te, ce), left, labelledText, OnProbeHead ? kProbeHeadMax : 4096,
                          deadline, OnProbeHead, m_strProbeHead);
}

bool CHttpSocket::ProbeSpeed(const std::string& url, int& parseMs, int& headerMs, int& reconnectMs, int& length,
                             std::string& contentType) {
  ProbeVerdict verdict;
  return ProbeSpeed(url, parseMs, headerMs, reconnectMs, length, contentType, verdict);
}

bool CHttpSocket::ProbeSpeed(const std::string& url, int& parseMs, int& headerMs, int& reconnectMs, int& length,
                             std::string& contentType, ProbeVerdict& verdict) {
  HeaderOnly headerOnly(m_bHeaderOnly);
  verdict = ProbeVerdict::kFailed;
  m_strProbeHead.clear();
  m_strProbeTarget = url;
  try {
    long long t = GetTickMs();
    UrlParts parts;
    const bool split = SplitWebUrl(url, parts);
    parseMs = static_cast<int>(GetTickMs() - t);
    if (!split) {
      Close();
      Report(txt::kSockBadUrl);
      return false;
    }
    long long clockT = GetTickMs();
    bool bare = false;
    if (!BuildFor(parts, bare, 0, 0) || !RequestOn() || ProxyRefused()) {
      Close();
      return false;
    }
    if (IsRedirect(GetStatusCode())) {
      bare = true;
      std::string target = url;
      t = GetTickMs();
      if (!FollowRedirect(target, parts)) {
        Close();
        return false;
      }
      parseMs = static_cast<int>(GetTickMs() - t);
      m_strProbeTarget = target;
      clockT = GetTickMs();
      if (!BuildFor(parts, true, 0, 0) || !RequestOn() || ProxyRefused()) {
        Close();
        return false;
      }
    }
    if (IsBusyStatus(GetStatusCode())) {
      Close();
      verdict = ProbeVerdict::kBusy;
      return false;
    }
    int n = 0;
    if (!ReadLength(n)) {
      Close();
      return false;
    }
    length = n;
    GetHeaderValue("Content-Type", contentType, kValueMax);
    headerMs = static_cast<int>(GetTickMs() - clockT);
    // A host's error page served as 200 would otherwise be the fastest
    // candidate with a plausible size.
    // A text label only passes with an audio signature in the first bytes.
    const bool labelled = IsTextContentType(contentType);
    const SongBytes sniffed = SniffBody(labelled);
    if (sniffed == SongBytes::kMarkup || (labelled && sniffed != SongBytes::kSong)) {
      Close();
      verdict = ProbeVerdict::kNotASong;
      Report(txt::kSockNotASong);
      return false;
    }

    Close();
    // Timed from when the host can have seen that close: the wait for it is
    // ours, not the host's.
    if (!m_spare.AwaitSettled([this] { return m_bAborted.load(); })) return false;
    long long clockR = GetTickMs();
    if (!BuildFor(parts, bare, 0, 0) || !ConnectRoute() || !SendRequest()) {
      Close();
      return false;
    }
    Close();
    if (IsBusyStatus(GetStatusCode())) {
      verdict = ProbeVerdict::kBusy;
      return false;
    }
    reconnectMs = static_cast<int>(GetTickMs() - clockR);
    verdict = ProbeVerdict::kAnswered;
    return true;
  } catch (...) {
    Close();
    Report(txt::kSockSpeedError);
    return false;
  }
}
