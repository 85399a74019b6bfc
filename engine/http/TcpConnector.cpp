#include "engine/http/TcpConnector.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "engine/Common.h"

namespace {

socklen_t AddressSize(const sockaddr_storage& a) {
  return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// -1 when the attempt failed at once (errno set).
int StartAttempt(sockaddr_storage addr, int port, int receiveBuffer) {
  if (addr.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(static_cast<uint16_t>(port));
  else
    reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(static_cast<uint16_t>(port));
  int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd == 0) {
    // 0 means "no socket" to the layers above; move off it.
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    fd = moved;
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  }
  if (fd < 0) return -1;
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  // A request goes out whole in one write, but TLS writes its handshake's
  // last flight and the request apart: with Nagle the request would wait
  // for the server's delayed ACK of the flight (40 ms a connection).
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), AddressSize(addr)) == 0 || errno == EINPROGRESS) return fd;
  const int err = errno;
  ::close(fd);
  errno = err;
  return -1;
}

void CloseAll(std::vector<pollfd>& open, int keep) {
  for (const pollfd& p : open)
    if (p.fd != keep) ::close(p.fd);
  open.clear();
}

}  // namespace

TcpResult CTcpConnector::Connect(const std::vector<sockaddr_storage>& addrs, int port, long long deadlineMs,
                                 const std::function<bool()>& abandon, int receiveBuffer) {
  TcpResult result;
  result.err = ECONNREFUSED;
  std::vector<pollfd> open;
  size_t next = 0;
  long long nextStart = GetTickMs();
  for (;;) {
    if (abandon && abandon()) {
      CloseAll(open, -1);
      result.kind = TcpResult::kAbandoned;
      return result;
    }
    const long long now = GetTickMs();
    // Start the next address when it is due, or at once when nothing is
    // in flight (the ones before it failed).
    if (next < addrs.size() && (open.empty() || now >= nextStart)) {
      const int fd = StartAttempt(addrs[next++], port, receiveBuffer);
      if (fd >= 0)
        open.push_back(pollfd{fd, POLLOUT, 0});
      else
        result.err = errno;
      nextStart = now + kStaggerMs;
      continue;
    }
    if (open.empty()) {
      result.kind = TcpResult::kFailed;
      return result;
    }
    if (now >= deadlineMs) {
      CloseAll(open, -1);
      result.kind = TcpResult::kTimedOut;
      return result;
    }
    long long wait = deadlineMs - now;
    if (next < addrs.size() && nextStart - now < wait) wait = nextStart - now;
    if (wait > 50) wait = 50;  // short slices so an abandon is seen quickly
    if (wait < 0) wait = 0;
    for (pollfd& p : open) p.revents = 0;
    const int r = ::poll(open.data(), open.size(), static_cast<int>(wait));
    if (r < 0 && errno != EINTR) {
      result.err = errno;
      CloseAll(open, -1);
      result.kind = TcpResult::kFailed;
      return result;
    }
    if (r <= 0) continue;
    for (size_t i = 0; i < open.size();) {
      if (open[i].revents == 0) {
        ++i;
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(open[i].fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err == 0) {
        const int fd = open[i].fd;
        CloseAll(open, fd);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
        result.kind = TcpResult::kConnected;
        result.fd = fd;
        result.err = 0;
        return result;
      }
      result.err = err;
      ::close(open[i].fd);
      open.erase(open.begin() + static_cast<long>(i));
      // A failure starts the next address without waiting out the stagger.
      nextStart = GetTickMs();
    }
  }
}
