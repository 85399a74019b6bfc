#include "server/HeaderGate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

using Clock = std::chrono::steady_clock;

// Short, so a stop is never held up by a quiet client.
constexpr int kPollCapMs = 200;

void Refuse(int sock, const char* status) {
  const std::string reply = std::string("HTTP/1.1 ") + status +
                            "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  // Best effort: a client that reads nothing must not hold the gate.
  (void)::send(sock, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

ServerConnection::~ServerConnection() {
  if (sock < 0) return;
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

CHeaderGate::CHeaderGate(const HeaderLimits& limits, size_t workers, Serve serve)
    : m_limits(limits), m_serve(std::move(serve)), m_workers(workers) {
  if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) m_wake[0] = m_wake[1] = -1;
  m_thread = std::thread(&CHeaderGate::Run, this);
}

CHeaderGate::~CHeaderGate() {
  shutdown();
  for (int fd : m_wake)
    if (fd >= 0) ::close(fd);
}

void CHeaderGate::shutdown() {
  {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_bStopped) return;
    m_bStopped = true;
  }
  Wake();
  if (m_thread.joinable()) m_thread.join();
  m_workers.shutdown();
  std::lock_guard<std::mutex> g(m_lock);
  m_incoming.clear();  // returned while the pool ran down
}

void CHeaderGate::Wake() {
  const char b = 1;
  if (m_wake[1] >= 0) (void)::write(m_wake[1], &b, 1);
}

void CHeaderGate::Admit(int sock) {
  auto c = std::make_unique<ServerConnection>();
  c->sock = sock;
  c->deadline = Clock::now() + std::chrono::milliseconds(m_limits.headerMs);
  c->started = true;  // a new client owes its header from the start
  Return(std::move(c));
}

void CHeaderGate::Return(std::unique_ptr<ServerConnection> c) {
  if (!c->started) c->deadline = Clock::now() + std::chrono::milliseconds(m_limits.idleMs);
  {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_bStopped) return;  // the connection closes as it goes
    m_incoming.push_back(std::move(c));
  }
  Wake();
}

CHeaderGate::Head CHeaderGate::Examine(const std::string& buffer, size_t at, const HeaderLimits& limits) {
  int lines = 0;
  for (size_t i = at; i < buffer.size(); ++i) {
    if (buffer[i] != '\n') continue;
    const bool blank = (i > at && buffer[i - 1] == '\n') ||
                       (i > at + 1 && buffer[i - 1] == '\r' && buffer[i - 2] == '\n');
    if (blank) return i + 1 - at > limits.maxBytes ? Head::kTooLarge : Head::kComplete;
    // The request line is not a header line.
    if (++lines > limits.maxLines + 1) return Head::kTooLarge;
  }
  return buffer.size() - at > limits.maxBytes ? Head::kTooLarge : Head::kIncomplete;
}

bool CHeaderGate::Settle(std::unique_ptr<ServerConnection>& c) {
  switch (Examine(c->buffer, c->at, m_limits)) {
    case Head::kComplete: {
      // The pool's queue owns it until a worker takes it.
      auto shared = std::make_shared<std::unique_ptr<ServerConnection>>(std::move(c));
      m_workers.enqueue([this, shared] { m_serve(std::move(*shared)); });
      return false;
    }
    case Head::kTooLarge:
      Refuse(c->sock, "431 Request Header Fields Too Large");
      c.reset();
      return false;
    case Head::kIncomplete:
      return true;
  }
  return true;
}

bool CHeaderGate::Read(std::unique_ptr<ServerConnection>& c) {
  char raw[4096];
  ssize_t n;
  do {
    n = ::recv(c->sock, raw, sizeof raw, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (n <= 0) {
    c.reset();
    return false;
  }
  if (!c->started) {
    c->started = true;
    c->deadline = Clock::now() + std::chrono::milliseconds(m_limits.headerMs);
  }
  if (c->at > 0) {
    c->buffer.erase(0, c->at);
    c->at = 0;
  }
  c->mender.Feed(raw, static_cast<size_t>(n), c->buffer);
  return Settle(c);
}

void CHeaderGate::Run() {
  std::vector<std::unique_ptr<ServerConnection>> waiting;
  std::vector<pollfd> fds;
  for (;;) {
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_bStopped) break;
      for (auto& c : m_incoming) {
        // A kept-alive client may have sent its next request already.
        if (c->at < c->buffer.size() && !Settle(c)) continue;
        if (waiting.size() >= m_limits.maxWaiting) continue;  // closes it
        waiting.push_back(std::move(c));
      }
      m_incoming.clear();
    }
    const auto now = Clock::now();
    auto next = now + std::chrono::milliseconds(kPollCapMs);
    for (auto& c : waiting) {
      if (c->deadline <= now) {
        if (c->started) Refuse(c->sock, "408 Request Timeout");
        c.reset();
      } else {
        next = std::min(next, c->deadline);
      }
    }
    waiting.erase(std::remove(waiting.begin(), waiting.end(), nullptr), waiting.end());
    fds.assign(1, pollfd{m_wake[0], POLLIN, 0});
    for (auto& c : waiting) fds.push_back(pollfd{c->sock, POLLIN, 0});
    const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(waitMs, 1))) < 0 &&
        errno != EINTR)
      continue;
    if (fds[0].revents) {
      char drain[64];
      while (::read(m_wake[0], drain, sizeof drain) > 0) {
      }
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      std::unique_ptr<ServerConnection>& c = waiting[i - 1];
      Read(c);
    }
    waiting.erase(std::remove(waiting.begin(), waiting.end(), nullptr), waiting.end());
  }
  // Whatever still waits closes with the gate.
}
