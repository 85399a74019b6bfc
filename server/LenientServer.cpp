#include "server/LenientServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdlib>

namespace {

bool WaitFor(int sock, short events, time_t sec, time_t usec) {
  pollfd p = {sock, events, 0};
  const long long ms = static_cast<long long>(sec) * 1000 + usec / 1000;
  int r;
  do {
    r = poll(&p, 1, static_cast<int>(std::min<long long>(ms, 1 << 30)));
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

void Address(const sockaddr_storage& addr, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    port = ntohs(a->sin6_port);
  }
  ip = text;
}

// The library's socket stream over one connection: first what the gate
// read, then the socket, through the connection's mender.
class CMendingStream : public httplib::Stream {
 public:
  CMendingStream(ServerConnection& c, time_t readSec, time_t readUsec, time_t writeSec, time_t writeUsec)
      : m_c(c), m_readSec(readSec), m_readUsec(readUsec), m_writeSec(writeSec), m_writeUsec(writeUsec) {}

  bool HasBuffered() const { return m_c.at < m_c.buffer.size(); }

  bool is_readable() const override { return HasBuffered() || WaitFor(m_c.sock, POLLIN, m_readSec, m_readUsec); }
  bool is_writable() const override { return WaitFor(m_c.sock, POLLOUT, m_writeSec, m_writeUsec); }

  ssize_t read(char* ptr, size_t size) override {
    while (!HasBuffered()) {
      if (!WaitFor(m_c.sock, POLLIN, m_readSec, m_readUsec)) return -1;
      char raw[4096];
      ssize_t n;
      do {
        n = recv(m_c.sock, raw, sizeof raw, 0);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      m_c.buffer.erase(0, m_c.at);
      m_c.at = 0;
      m_c.mender.Feed(raw, static_cast<size_t>(n), m_c.buffer);
    }
    const size_t n = std::min(size, m_c.buffer.size() - m_c.at);
    m_c.buffer.copy(ptr, n, m_c.at);
    m_c.at += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do {
      n = send(m_c.sock, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr = {};
    socklen_t len = sizeof addr;
    if (getpeername(m_c.sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Address(addr, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr = {};
    socklen_t len = sizeof addr;
    if (getsockname(m_c.sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Address(addr, ip, port);
  }
  socket_t socket() const override { return m_c.sock; }

 private:
  ServerConnection& m_c;
  time_t m_readSec, m_readUsec, m_writeSec, m_writeUsec;
};

}  // namespace

CLenientServer::CLenientServer(const HeaderLimits& limits, size_t workers) : m_limits(limits) {
  new_task_queue = [this, workers] {
    auto* gate = new CHeaderGate(m_limits, workers, [this](std::unique_ptr<ServerConnection> c) { Serve(std::move(c)); });
    m_pGate = gate;
    return gate;
  };
}

void CLenientServer::WidenBacklog() {
  if (svr_sock_ != INVALID_SOCKET) ::listen(svr_sock_, SOMAXCONN);
}

bool CLenientServer::process_and_close_socket(socket_t sock) {
  m_pGate->Admit(sock);
  return true;
}

void CLenientServer::Serve(std::unique_ptr<ServerConnection> c) {
  CMendingStream stream(*c, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_, write_timeout_usec_);
  const bool last = ++c->served >= keep_alive_max_count_;
  bool closed = false;
  const bool ok = process_request(stream, last, closed, nullptr);
  if (!ok || closed || last || svr_sock_ == INVALID_SOCKET) return;  // the connection closes
  c->started = false;  // the next request's clock starts with its first byte
  m_pGate->Return(std::move(c));
}
