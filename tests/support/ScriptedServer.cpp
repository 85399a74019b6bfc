#include "tests/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <strings.h>

namespace vtest {

namespace {

// Every blocking call of the server ends within these bounds even when a
// client never reads or never writes.
constexpr int kRecvTimeoutMs = 30000;
constexpr int kSendTimeoutMs = 10000;
constexpr size_t kMaxRequestHeader = 64 * 1024;

void SetTimeouts(int fd) {
  timeval rt{kRecvTimeoutMs / 1000, 0};
  timeval st{kSendTimeoutMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rt, sizeof rt);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &st, sizeof st);
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return {};
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

// "bytes=a-b" / "bytes=a-": false when the value does not parse or b < a.
bool ParseRange(const std::string& value, long long& a, long long& b, bool& open) {
  std::string v = Trim(value);
  if (v.rfind("bytes=", 0) != 0) return false;
  v = Trim(v.substr(6));
  size_t dash = v.find('-');
  if (dash == std::string::npos || dash == 0) return false;
  std::string sa = Trim(v.substr(0, dash)), sb = Trim(v.substr(dash + 1));
  if (sa.empty() || sa.find_first_not_of("0123456789") != std::string::npos) return false;
  if (!sb.empty() && sb.find_first_not_of("0123456789") != std::string::npos) return false;
  if (sa.size() > 18 || sb.size() > 18) return false;
  a = std::stoll(sa);
  open = sb.empty();
  b = open ? -1 : std::stoll(sb);
  if (!open && b < a) return false;
  return true;
}

}  // namespace

Route Route::File(std::string body) {
  Route r;
  r.kind = Kind::File;
  r.body = std::move(body);
  return r;
}

Route Route::Redirect(int status, std::string location) {
  Route r;
  r.kind = Kind::Redirect;
  r.status = status;
  r.location = std::move(location);
  return r;
}

Route Route::Raw(std::string bytes) {
  Route r;
  r.kind = Kind::Raw;
  r.raw = std::move(bytes);
  return r;
}

std::string Request::header(const std::string& name) const {
  size_t pos = raw.find("\r\n");
  while (pos != std::string::npos) {
    size_t start = pos + 2;
    size_t end = raw.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    std::string line = raw.substr(start, end - start);
    size_t colon = line.find(':');
    if (colon != std::string::npos && Trim(line.substr(0, colon)).size() == name.size() &&
        strncasecmp(Trim(line.substr(0, colon)).c_str(), name.c_str(), name.size()) == 0)
      return Trim(line.substr(colon + 1));
    pos = end;
  }
  return {};
}

ScriptedServer::ScriptedServer() {
  m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_listen < 0) throw std::runtime_error("socket failed");
  int one = 1;
  setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(m_listen, 64) != 0) {
    close(m_listen);
    throw std::runtime_error("bind/listen on 127.0.0.1 failed");
  }
  socklen_t len = sizeof addr;
  getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
  m_accept = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  m_stop = true;
  m_cv.notify_all();
  if (m_accept.joinable()) m_accept.join();
  std::list<std::unique_ptr<Conn>> conns;
  {
    std::lock_guard<std::mutex> g(m_lock);
    // Shut down, never close here: the connection thread owns its fd, so
    // the number cannot be reused under one of its blocked calls.
    for (auto& c : m_conns)
      if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
    conns.swap(m_conns);
  }
  m_cv.notify_all();
  for (auto& c : conns)
    if (c->th.joinable()) c->th.join();
  close(m_listen);
}

std::string ScriptedServer::url(const std::string& path) const { return "http://" + hostPort() + path; }

std::string ScriptedServer::hostPort() const { return "127.0.0.1:" + std::to_string(m_port); }

void ScriptedServer::route(const std::string& path, Route r) {
  std::lock_guard<std::mutex> g(m_lock);
  RouteState st;
  st.r = std::make_shared<const Route>(std::move(r));
  m_routes[path] = std::move(st);
}

void ScriptedServer::removeRoute(const std::string& path) {
  std::lock_guard<std::mutex> g(m_lock);
  m_routes.erase(path);
}

std::vector<Request> ScriptedServer::requests() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_requests;
}

std::vector<Request> ScriptedServer::requestsFor(const std::string& path) const {
  std::lock_guard<std::mutex> g(m_lock);
  std::vector<Request> out;
  for (size_t i = 0; i < m_requests.size(); ++i)
    if (m_requestRoutes[i] == path) out.push_back(m_requests[i]);
  return out;
}

void ScriptedServer::clearRequests() {
  std::lock_guard<std::mutex> g(m_lock);
  m_requests.clear();
  m_requestRoutes.clear();
}

bool ScriptedServer::waitForRequests(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> g(m_lock);
  return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs),
                       [&] { return m_requests.size() >= n || m_stop; }) &&
         m_requests.size() >= n;
}

bool ScriptedServer::waitIdle(int timeoutMs) const {
  std::unique_lock<std::mutex> g(m_lock);
  return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_busy == 0; });
}

bool ScriptedServer::waitAllClosed(int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> g(m_lock);
  for (;;) {
    pollfd p{m_listen, POLLIN, 0};
    bool quiet = poll(&p, 1, 0) == 0;
    for (auto& c : m_conns) quiet = quiet && c->done;
    if (quiet) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    m_cv.wait_for(g, std::chrono::milliseconds(10));
  }
}

long long ScriptedServer::bytesSent(const std::string& path) const {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_routes.find(path);
  return it == m_routes.end() ? 0 : it->second.bytes;
}

long long ScriptedServer::bodyBytesSent(const std::string& path) const {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_routes.find(path);
  return it == m_routes.end() ? 0 : it->second.bodyBytes;
}

int ScriptedServer::openLocked() const {
  int n = 0;
  for (auto& c : m_conns)
    if (!c->done) ++n;
  return n;
}

int ScriptedServer::openConnections() const {
  std::lock_guard<std::mutex> g(m_lock);
  return openLocked();
}

void ScriptedServer::setConnectionLimit(const ConnectionLimit& limit) {
  std::lock_guard<std::mutex> g(m_lock);
  m_limit = limit;
}

int ScriptedServer::peakOpenConnections() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_peakOpen;
}

int ScriptedServer::connectionsRefused() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_refused;
}

// Past the connection limit: logs the request, answers busy and closes.
// Returns false when the request is within the limit.
bool ScriptedServer::answerBusy(Conn* c, Request& req) {
  ConnectionLimit lim;
  {
    std::lock_guard<std::mutex> g(m_lock);
    lim = m_limit;
    if (lim.maxOpen <= 0 || lim.closeAtConnect || openLocked() <= lim.maxOpen) return false;
    req.answeredBusy = true;
    m_requests.push_back(req);
    m_requestRoutes.push_back(std::string());
  }
  m_cv.notify_all();
  std::string body = "busy";
  std::string h = "HTTP/1.1 " + std::to_string(lim.status) +
                  (lim.status == 429 ? " Too Many Requests" : " Service Unavailable") + "\r\n";
  if (!lim.retryAfter.empty()) h += "Retry-After: " + lim.retryAfter + "\r\n";
  h += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  if (req.method != "HEAD") h += body;
  sendAll(c, std::string(), h.data(), h.size(), false);
  return true;
}

void ScriptedServer::acceptLoop() {
  while (!m_stop) {
    pollfd p{m_listen, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r <= 0) continue;
    // Accepted and registered under the lock, so waitAllClosed never sees
    // a connection that is neither waiting nor known.
    std::lock_guard<std::mutex> g(m_lock);
    int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    SetTimeouts(fd);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Reap finished connections so a long test does not pile up threads.
    for (auto it = m_conns.begin(); it != m_conns.end();) {
      if ((*it)->done) {
        (*it)->th.join();
        it = m_conns.erase(it);
      } else {
        ++it;
      }
    }
    if (m_limit.maxOpen > 0 && m_limit.closeAtConnect && openLocked() >= m_limit.maxOpen) {
      // Refused as an overloaded host does: reset at once.
      linger lg{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
      close(fd);
      ++m_refused;
      continue;
    }
    auto c = std::make_unique<Conn>();
    c->fd = fd;
    c->id = m_nextConn++;
    Conn* raw = c.get();
    m_conns.push_back(std::move(c));
    m_peakOpen = std::max(m_peakOpen, openLocked());
    if (m_stop) shutdown(fd, SHUT_RDWR);
    raw->th = std::thread([this, raw] { serve(raw); });
  }
}

bool ScriptedServer::pause(int ms) {
  if (ms <= 0) return !m_stop;
  std::unique_lock<std::mutex> g(m_lock);
  m_cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return m_stop.load(); });
  return !m_stop;
}

void ScriptedServer::countBytes(const std::string& path, size_t n, bool body) {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_routes.find(path);
  if (it == m_routes.end()) return;
  it->second.bytes += static_cast<long long>(n);
  if (body) it->second.bodyBytes += static_cast<long long>(n);
}

bool ScriptedServer::sendAll(Conn* c, const std::string& path, const char* p, size_t n, bool body) {
  while (n > 0) {
    if (m_stop) return false;
    ssize_t k = send(c->fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    countBytes(path, static_cast<size_t>(k), body);
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool ScriptedServer::sendPaced(Conn* c, const std::string& path, const char* data, size_t size,
                               const Faults& f) {
  if (f.pauseEveryBytes > 0) {
    Faults steady = f;
    steady.pauseEveryBytes = 0;
    const size_t every = static_cast<size_t>(f.pauseEveryBytes);
    for (size_t off = 0; off < size; off += every) {
      if (off > 0 && !pause(f.pauseMs)) return false;
      if (!sendPaced(c, path, data + off, std::min(size - off, every), steady)) return false;
    }
    return true;
  }
  if (f.dripBytes > 0) {
    for (size_t off = 0; off < size; off += static_cast<size_t>(f.dripBytes)) {
      if (off > 0 && !pause(f.dripIntervalMs)) return false;
      size_t n = std::min(size - off, static_cast<size_t>(f.dripBytes));
      if (!sendAll(c, path, data + off, n, true)) return false;
    }
    return true;
  }
  if (f.rateBytesPerSec > 0) {
    auto t0 = std::chrono::steady_clock::now();
    size_t piece = static_cast<size_t>(std::clamp<long long>(f.rateBytesPerSec / 50, 1, 16384));
    for (size_t off = 0; off < size; off += piece) {
      size_t n = std::min(size - off, piece);
      if (!sendAll(c, path, data + off, n, true)) return false;
      long long due = static_cast<long long>(off + n) * 1000 / f.rateBytesPerSec;
      long long spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - t0)
                            .count();
      if (due > spent && !pause(static_cast<int>(due - spent))) return false;
    }
    return true;
  }
  return sendAll(c, path, data, size, true);
}

void ScriptedServer::serve(Conn* c) {
  std::string buf;
  bool keep = true;
  while (keep && !m_stop) {
    size_t pos;
    bool eof = false;
    while ((pos = buf.find("\r\n\r\n")) == std::string::npos) {
      if (buf.size() > kMaxRequestHeader) {
        eof = true;
        break;
      }
      char tmp[4096];
      ssize_t n = recv(c->fd, tmp, sizeof tmp, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        eof = true;
        break;
      }
      buf.append(tmp, static_cast<size_t>(n));
    }
    if (eof) break;
    Request req;
    req.raw = buf.substr(0, pos + 4);
    buf.erase(0, pos + 4);
    req.connection = c->id;
    size_t lineEnd = req.raw.find("\r\n");
    std::string line = req.raw.substr(0, lineEnd);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    req.method = line.substr(0, sp1);
    if (sp1 != std::string::npos) req.target = line.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
    req.range = req.header("Range");
    req.atMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch()).count();
    {
      std::lock_guard<std::mutex> g(m_lock);
      ++m_busy;
    }
    keep = answerBusy(c, req) ? false : handle(c, req, keep);
    {
      std::lock_guard<std::mutex> g(m_lock);
      --m_busy;
    }
    m_cv.notify_all();
  }
  std::lock_guard<std::mutex> g(m_lock);
  if (c->fd >= 0) close(c->fd);
  c->fd = -1;
  c->done = true;
}

// Answers one request; returns whether the connection takes another one.
bool ScriptedServer::handle(Conn* c, Request& req, bool& /*keep*/) {
  std::shared_ptr<const Route> rp;
  std::string path;
  int index = 0;
  int rangeIndex = 0;
  bool found = false;
  bool busy = false;
  {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_routes.find(req.target);
    if (it == m_routes.end()) {
      size_t best = 0;
      for (auto i = m_routes.begin(); i != m_routes.end(); ++i)
        if (i->second.r->prefix && req.target.rfind(i->first, 0) == 0 && i->first.size() >= best) {
          best = i->first.size();
          it = i;
        }
    }
    if (it != m_routes.end()) {
      found = true;
      path = it->first;
      rp = it->second.r;
      index = it->second.served++;
      const Faults& bf = it->second.r->faults;
      if (!bf.busyPage.empty() && !it->second.busyServed && index >= bf.notFirst &&
          (!bf.busyPageWithoutRangeOnly || req.range.empty())) {
        it->second.busyServed = true;
        busy = true;
      }
      if (rp->rangeFaults.count(req.range)) rangeIndex = it->second.servedByRange[req.range]++;
    }
    m_requests.push_back(req);
    m_requestRoutes.push_back(found ? path : std::string());
  }
  m_cv.notify_all();

  bool clientClose = strcasecmp(req.header("Connection").c_str(), "close") == 0;
  bool head = req.method == "HEAD";
  if (!found) {
    std::string body = "not found";
    std::string h = "HTTP/1.1 404 Not Found\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    if (!head) h += body;
    return sendAll(c, path, h.data(), h.size(), false) && !clientClose;
  }
  const Route& r = *rp;
  Faults f = r.faults;
  if ((f.onlyFirst > 0 && index >= f.onlyFirst) || index < f.notFirst) f = Faults{};
  if (auto byRange = r.rangeFaults.find(req.range); byRange != r.rangeFaults.end()) {
    f = byRange->second;
    if (f.onlyFirst > 0 && rangeIndex >= f.onlyFirst) f = Faults{};
    index = rangeIndex;
  }
  if (f.slowEveryConnection > 0 && c->id % f.slowEveryConnection == 0) f.rateBytesPerSec = f.slowRateBytesPerSec;
  bool keep = !clientClose && !f.closeAfterResponse;
  std::string closeLine = keep ? "" : "Connection: close\r\n";

  if (index < f.failFirst) {
    std::string body = "failed on purpose";
    std::string h = "HTTP/1.1 " + std::to_string(f.failStatus) + " " + Reason(f.failStatus) +
                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + closeLine;
    if (!f.failRetryAfter.empty()) h += "Retry-After: " + f.failRetryAfter + "\r\n";
    h += "\r\n";
    if (!head) h += body;
    return sendAll(c, path, h.data(), h.size(), false) && keep;
  }
  auto resetNow = [&] {
    linger lg{1, 0};
    std::lock_guard<std::mutex> g(m_lock);
    setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(c->fd);
    c->fd = -1;
  };
  if (busy) {
    std::string h = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                    std::to_string(r.faults.busyPage.size()) + "\r\nConnection: close\r\n\r\n";
    if (!head) h += r.faults.busyPage;
    sendAll(c, path, h.data(), h.size(), false);
    return false;
  }
  if (f.reset && f.closeAfterBodyBytes < 0) {
    resetNow();
    return false;
  }
  if (f.stallMs > 0 && f.stallAfterBodyBytes < 0 && f.stallAfterHeaderBytes < 0 && !pause(f.stallMs)) return false;
  if (f.headerDelayMs > 0 && !pause(f.headerDelayMs)) return false;
  if (f.headerNoBlankLine) {
    std::string h = "HTTP/1.1 200 OK\r\n";
    int i = 0;
    while (h.size() < 17 * 1024) h += "X-Filler-" + std::to_string(i++) + ": " + std::string(40, 'x') + "\r\n";
    sendAll(c, path, h.data(), h.size(), false);
    return false;
  }

  if (r.kind == Route::Kind::Raw) {
    if (!sendAll(c, path, r.raw.data(), r.raw.size(), false)) return false;
    return r.keepOpen && keep;
  }
  if (r.kind == Route::Kind::Redirect) {
    bool k = keep && !r.redirectClose;
    std::string h = "HTTP/1.1 " + std::to_string(r.status) + " " + Reason(r.status) + "\r\nLocation: " + r.location +
                    "\r\nContent-Length: " + std::to_string(r.redirectBodySize) + "\r\n" + r.extraHeaders +
                    (k ? "" : "Connection: close\r\n") + "\r\n";
    if (!sendAll(c, path, h.data(), h.size(), false)) return false;
    if (!head && r.redirectBodySize > 0) {
      std::string body(r.redirectBodySize, 'r');
      if (!sendAll(c, path, body.data(), body.size(), true)) return false;
    }
    return k;
  }

  // File
  const long long L = static_cast<long long>(r.body.size());
  long long a = 0, b = L - 1;
  bool open = false;
  int status = 200;
  if (!req.range.empty() && !f.ignoreRange && ParseRange(req.range, a, b, open)) {
    if (a >= L) {
      status = 416;
    } else {
      status = 206;
      if (open || b >= L) b = L - 1;
    }
  } else {
    a = 0;
    b = L - 1;
  }
  bool closeAfter = !keep || (f.noContentLength && !f.chunked) || !f.contentLengthOverride.empty() || f.closeAfterBodyBytes >= 0;
  std::string h = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  long long len = status == 416 ? 0 : b - a + 1;
  if (status == 416) h += "Content-Range: bytes */" + std::to_string(L) + "\r\n";
  if (status == 206)
    h += "Content-Range: bytes " + std::to_string(a + f.contentRangeShift) + "-" + std::to_string(b) + "/" +
         std::to_string(f.contentRangeTotal >= 0 ? f.contentRangeTotal : L) + "\r\n";
  if (f.chunked)
    h += "Transfer-Encoding: chunked\r\n";
  else if (!f.contentLengthOverride.empty())
    h += "Content-Length: " + f.contentLengthOverride + "\r\n";
  else if (!f.noContentLength)
    h += "Content-Length: " + std::to_string(len) + "\r\n";
  h += "Accept-Ranges: bytes\r\n";
  if (!r.contentType.empty()) h += "Content-Type: " + r.contentType + "\r\n";
  if (!r.etag.empty()) h += "ETag: " + r.etag + "\r\n";
  if (!r.lastModified.empty()) h += "Last-Modified: " + r.lastModified + "\r\n";
  h += r.extraHeaders;
  if (closeAfter) h += "Connection: close\r\n";
  h += "\r\n";
  if (f.stallAfterHeaderBytes >= 0 && f.stallMs > 0) {
    size_t k = std::min(h.size(), static_cast<size_t>(f.stallAfterHeaderBytes));
    if (!sendAll(c, path, h.data(), k, false) || !pause(f.stallMs)) return false;
    if (!sendAll(c, path, h.data() + k, h.size() - k, false)) return false;
  } else if (!sendAll(c, path, h.data(), h.size(), false)) {
    return false;
  }
  if (head || status == 416) return !closeAfter;

  const char* slice = r.body.data() + a;
  size_t size = static_cast<size_t>(len);
  std::string wire;
  if (f.chunked) {
    // The faults below then count the coded bytes, size lines included.
    const size_t step = f.chunkBytes > 0 ? f.chunkBytes : 4096;
    char line[32];
    for (size_t off = 0; off < size; off += step) {
      if (f.badChunkAfter >= 0 && static_cast<long long>(off) >= f.badChunkAfter) {
        wire += "zz\r\n";
        break;
      }
      const size_t n = std::min(step, size - off);
      std::snprintf(line, sizeof line, "%zx\r\n", n);
      wire += line;
      wire.append(slice + off, n);
      wire += "\r\n";
    }
    if (f.badChunkAfter < 0 || f.badChunkAfter >= static_cast<long long>(size)) wire += "0\r\n" + f.chunkTrailer + "\r\n";
    slice = wire.data();
    size = wire.size();
  }
  if (f.closeAfterBodyBytes >= 0 && f.closeAfterBodyBytes < static_cast<long long>(size))
    size = static_cast<size_t>(f.closeAfterBodyBytes);
  if (f.stallMs > 0 && f.stallAfterBodyBytes >= 0) {
    size_t k = std::min(size, static_cast<size_t>(f.stallAfterBodyBytes));
    if (!sendPaced(c, path, slice, k, f)) return false;
    if (!pause(f.stallMs)) return false;
    if (!sendPaced(c, path, slice + k, size - k, f)) return false;
  } else if (!sendPaced(c, path, slice, size, f)) {
    return false;
  }
  if (f.closeAfterBodyBytes >= 0 && f.reset) resetNow();
  return !closeAfter;
}

}  // namespace vtest
