#include "tests/support/ServerFront.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace vtest {

namespace {

int ConnectBackend(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

void SetTimeouts(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

ServerFront::ServerFront(int backendPort, const std::string& bindAddress, const std::optional<CertFiles>& cert)
    : m_backendPort(backendPort), m_bind(bindAddress) {
  // A client that hangs up mid-reply must not end the test program.
  ::signal(SIGPIPE, SIG_IGN);
  if (cert) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, cert->cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, cert->key.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("server front: certificate");
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_session_id_context(ctx, reinterpret_cast<const unsigned char*>("vtest"), 5);
    m_ctx = ctx;
  }

  const bool v6 = bindAddress.find(':') != std::string::npos;
  m_listen = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage ss{};
  socklen_t len;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    inet_pton(AF_INET6, bindAddress.c_str(), &a->sin6_addr);
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    inet_pton(AF_INET, bindAddress.c_str(), &a->sin_addr);
    len = sizeof *a;
  }
  if (::bind(m_listen, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(m_listen, 64) != 0 ||
      ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
    throw std::runtime_error("server front: listen");
  m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  m_accept = std::thread([this] { acceptLoop(); });
}

ServerFront::~ServerFront() {
  m_stop = true;
  ::shutdown(m_listen, SHUT_RDWR);
  m_accept.join();
  {
    std::lock_guard<std::mutex> g(m_lock);
    for (auto& c : m_conns) {
      if (c->client >= 0) ::shutdown(c->client, SHUT_RDWR);
      if (c->backend >= 0) ::shutdown(c->backend, SHUT_RDWR);
    }
  }
  for (auto& c : m_conns) c->th.join();
  ::close(m_listen);
  if (m_ctx) SSL_CTX_free(static_cast<SSL_CTX*>(m_ctx));
}

std::string ServerFront::url(const std::string& path) const {
  const std::string host = m_bind.find(':') != std::string::npos ? "[" + m_bind + "]" : m_bind;
  return (m_ctx ? "https://" : "http://") + host + ":" + std::to_string(m_port) + path;
}

void ServerFront::acceptLoop() {
  while (!m_stop) {
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++m_accepted;
    auto c = std::make_unique<Conn>();
    c->client = fd;
    Conn* raw = c.get();
    std::lock_guard<std::mutex> g(m_lock);
    m_conns.push_back(std::move(c));
    raw->th = std::thread([this, raw] { serve(raw); });
  }
}

void ServerFront::serve(Conn* c) {
  // A silent front holds the connection unanswered until it is stopped.
  while (m_silent && !m_stop) {
    pollfd p{c->client, POLLIN, 0};
    ::poll(&p, 1, 50);
  }
  SetTimeouts(c->client, 5000);
  SSL* ssl = nullptr;
  bool open = !m_stop;
  if (open && m_ctx) {
    ssl = SSL_new(static_cast<SSL_CTX*>(m_ctx));
    SSL_set_fd(ssl, c->client);
    open = SSL_accept(ssl) == 1;
    if (open) {
      ++(SSL_session_reused(ssl) ? m_resumed : m_full);
    }
  }
  if (open) {
    {
      std::lock_guard<std::mutex> g(m_lock);
      c->backend = ConnectBackend(m_backendPort);
    }
    pump(c, ssl);
    if (ssl) SSL_shutdown(ssl);
  }
  ERR_clear_error();
  if (ssl) SSL_free(ssl);
  std::lock_guard<std::mutex> g(m_lock);
  if (c->backend >= 0) ::close(c->backend);
  ::close(c->client);
  c->backend = -1;
  c->client = -1;
}

// Bytes both ways until the backend closes; the client's close only ends
// its direction, since the reply may still be on its way.
void ServerFront::pump(Conn* c, void* sslPtr) {
  SSL* ssl = static_cast<SSL*>(sslPtr);
  auto readClient = [&](char* buf, size_t n) -> ssize_t {
    if (!ssl) return ::recv(c->client, buf, n, 0);
    const int r = SSL_read(ssl, buf, static_cast<int>(n));
    ERR_clear_error();
    return r;
  };
  auto writeClient = [&](const char* buf, size_t n) -> bool {
    if (!ssl) return ::send(c->client, buf, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
    return SSL_write(ssl, buf, static_cast<int>(n)) == static_cast<int>(n);
  };
  char buf[16384];
  bool clientOpen = true;
  while (!m_stop && c->backend >= 0) {
    const bool buffered = ssl && SSL_pending(ssl) > 0;
    if (!buffered) {
      pollfd p[2] = {{c->backend, POLLIN, 0}, {c->client, POLLIN, 0}};
      if (::poll(p, clientOpen ? 2 : 1, 50) <= 0) continue;
      if (p[0].revents) {
        const ssize_t n = ::recv(c->backend, buf, sizeof buf, 0);
        if (n <= 0 || !writeClient(buf, static_cast<size_t>(n))) return;
        continue;
      }
      if (!clientOpen || !p[1].revents) continue;
    }
    const ssize_t n = readClient(buf, sizeof buf);
    if (n <= 0) {
      clientOpen = false;
      ::shutdown(c->backend, SHUT_WR);
      continue;
    }
    if (::send(c->backend, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
  }
}

}  // namespace vtest
