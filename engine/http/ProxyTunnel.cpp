#include "engine/http/ProxyTunnel.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "engine/Common.h"

namespace {

constexpr size_t kMaxReplyHeader = 16 * 1024;

enum class Wait { kReady, kTimedOut, kAbandoned, kFailed };

Wait WaitFor(int fd, short events, long long deadlineMs, const std::function<bool()>& abandon) {
  for (;;) {
    if (abandon && abandon()) return Wait::kAbandoned;
    const long long left = deadlineMs - GetTickMs();
    if (left <= 0) return Wait::kTimedOut;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left < 50 ? left : 50));
    if (r > 0) return Wait::kReady;
    if (r < 0 && errno != EINTR) return Wait::kFailed;
  }
}

TunnelResult FromWait(Wait w) {
  TunnelResult r;
  r.kind = w == Wait::kTimedOut ? TunnelResult::kTimedOut
           : w == Wait::kAbandoned ? TunnelResult::kAbandoned
                                   : TunnelResult::kFailed;
  return r;
}

}  // namespace

TunnelResult CProxyTunnel::Open(int fd, const std::string& authority, const std::string& authorization,
                                long long deadlineMs, const std::function<bool()>& abandon) {
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!authorization.empty()) request += "Proxy-Authorization: " + authorization + "\r\n";
  request += "\r\n";
  size_t sent = 0;
  while (sent < request.size()) {
    const Wait w = WaitFor(fd, POLLOUT, deadlineMs, abandon);
    if (w != Wait::kReady) return FromWait(w);
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return TunnelResult{};
    sent += static_cast<size_t>(n);
  }
  // A byte at a time: whatever follows the reply's blank line belongs to
  // the tunnel (the server's TLS bytes), not to us.
  std::string reply;
  while (reply.size() < 4 || reply.compare(reply.size() - 4, 4, "\r\n\r\n") != 0) {
    if (reply.size() >= kMaxReplyHeader) return TunnelResult{};
    const Wait w = WaitFor(fd, POLLIN, deadlineMs, abandon);
    if (w != Wait::kReady) return FromWait(w);
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    reply += c;
  }
  TunnelResult r;
  const size_t eol = reply.find("\r\n");
  r.statusLine = reply.substr(0, eol);
  if (r.statusLine.empty()) return TunnelResult{};
  const size_t space = r.statusLine.find(' ');
  const bool success = r.statusLine.compare(0, 5, "HTTP/") == 0 && space != std::string::npos &&
                       r.statusLine.size() > space + 1 && r.statusLine[space + 1] == '2' &&
                       reply.size() >= 4 && reply.compare(reply.size() - 4, 4, "\r\n\r\n") == 0;
  r.kind = success ? TunnelResult::kOpen : TunnelResult::kRefused;
  return r;
}
