#include "engine/http/Connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/http/Resolver.h"
#include "engine/http/ProxyTunnel.h"
#include "engine/http/TcpConnector.h"
#include "engine/http/TlsChannel.h"
#include "res/Texts.h"

namespace {

std::string HostPort(const std::string& host, int port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

ConnectFault MakeFault(ConnectFault::Kind kind, const char* format, const std::string& a, const std::string& b = "") {
  char text[768];
  std::snprintf(text, sizeof text, format, a.c_str(), b.c_str());
  return ConnectFault{kind, T(text)};
}

}  // namespace

CConnection::CConnection() = default;
CConnection::~CConnection() { Close(); }
CConnection::CConnection(CConnection&& other) noexcept { *this = std::move(other); }

CConnection& CConnection::operator=(CConnection&& other) noexcept {
  if (this != &other) {
    Close();
    m_fd = other.m_fd;
    m_tls = std::move(other.m_tls);
    m_key = std::move(other.m_key);
    m_permit = std::move(other.m_permit);
    other.m_fd = -1;
    other.m_key.clear();
  }
  return *this;
}

bool CConnection::Open(const CRequestRoute& route, long long deadlineMs, const std::function<bool()>& abandon,
                       bool smallWindow) {
  CloseSocket();
  m_fault = ConnectFault{};
  const UrlParts& target = route.Target();
  const ProxyChoice& proxy = route.Proxy();
  const std::string host = proxy.direct ? target.host : proxy.host;
  const int port = proxy.direct ? target.port : proxy.port;
  if (!proxy.fault.empty()) {
    m_fault = MakeFault(ConnectFault::kRefused, txt::kNetConnectFailed, HostPort(host, port), proxy.fault);
    return false;
  }
  auto abandoned = [&] {
    m_fault = ConnectFault{ConnectFault::kAbandoned, std::string()};
    return false;
  };

  std::vector<sockaddr_storage> addrs;
  if (!ResolveAll(host, addrs, abandon)) {
    if (abandon && abandon()) return abandoned();
    m_fault = MakeFault(ConnectFault::kLookup, txt::kNetLookupFailed, host);
    return false;
  }
  const TcpResult tcp = CTcpConnector::Connect(addrs, port, deadlineMs, abandon, smallWindow ? 8192 : 0);
  if (tcp.kind == TcpResult::kAbandoned) return abandoned();
  if (tcp.kind == TcpResult::kTimedOut) {
    m_fault = MakeFault(ConnectFault::kTimedOut, txt::kNetConnectTimedOut, HostPort(host, port));
    return false;
  }
  if (tcp.kind != TcpResult::kConnected) {
    m_fault = MakeFault(ConnectFault::kRefused, txt::kNetConnectFailed, HostPort(host, port), std::strerror(tcp.err));
    return false;
  }
  m_fd = tcp.fd;

  if (route.Tunnelled()) {
    const TunnelResult t = CProxyTunnel::Open(m_fd, HostPort(target.host, target.port), proxy.Authorization(),
                                              deadlineMs, abandon);
    if (t.kind != TunnelResult::kOpen) {
      CloseSocket();
      if (t.kind == TunnelResult::kAbandoned) return abandoned();
      if (t.kind == TunnelResult::kTimedOut)
        m_fault = MakeFault(ConnectFault::kTimedOut, txt::kNetConnectTimedOut, HostPort(host, port));
      else if (t.kind == TunnelResult::kRefused)
        m_fault = MakeFault(ConnectFault::kProxyRefused, txt::kNetProxyRefused, t.statusLine);
      else
        m_fault = MakeFault(ConnectFault::kRefused, txt::kNetConnectFailed, HostPort(host, port),
                        "the proxy closed the connection");
      return false;
    }
  }
  if (target.secure) {
    m_tls = std::make_unique<CTlsChannel>();
    TlsFault fault;
    bool timedOut = false;
    if (!m_tls->Handshake(m_fd, target.host, target.port, deadlineMs, abandon, fault, timedOut)) {
      CloseSocket();
      if (timedOut) {
        m_fault = MakeFault(ConnectFault::kTimedOut, txt::kNetConnectTimedOut, HostPort(target.host, target.port));
        return false;
      }
      if (fault.reason.empty()) return abandoned();
      if (fault.certificate)
        m_fault = MakeFault(ConnectFault::kCertificate, txt::kNetCertificateInvalid, fault.reason);
      else
        m_fault = MakeFault(ConnectFault::kRefused, txt::kNetConnectFailed, HostPort(target.host, target.port),
                        fault.reason);
      return false;
    }
  }
  m_key = route.Key();
  return true;
}

bool CConnection::Resumed() const { return m_tls && m_tls->Resumed(); }

ssize_t CConnection::Send(const void* data, size_t size) {
  if (m_tls) return m_tls->Write(data, size);
  return ::send(m_fd, data, size, MSG_NOSIGNAL);
}

ssize_t CConnection::Recv(void* data, size_t size, bool dontWait) {
  if (m_tls) return m_tls->Read(data, size, dontWait);
  return ::recv(m_fd, data, size, dontWait ? MSG_DONTWAIT : 0);
}

bool CConnection::WaitReadable(int ms) {
  if (m_tls && m_tls->HasBuffered()) return true;
  pollfd p{m_fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

bool CConnection::WaitForHost(const CRequestRoute& route, const void* owner, HostLimiter::Permit& spare,
                              const std::function<bool()>& stopped, const std::function<void()>& onWait) {
  const std::string key = HostLimiter::KeyFor(route.Target());
  if (m_permit.Held() && m_permit.Host() == key) return m_permit.AwaitSettled(stopped);
  if (spare.Held() && spare.Host() == key) {
    m_permit = std::move(spare);
    return m_permit.AwaitSettled(stopped);
  }
  spare.Release();  // never held while waiting for another host
  return HostLimiter::Instance().Acquire(key, owner, stopped, m_permit, onWait);
}

HostLimiter::Permit CConnection::TakePermit() {
  if (m_fd >= 0) m_permit.NoteClosed();
  return std::move(m_permit);
}

int CConnection::Close() {
  const int err = CloseSocket();
  m_permit.Release();
  return err;
}

int CConnection::CloseSocket() {
  m_tls.reset();
  m_key.clear();
  if (m_fd < 0) return 0;
  m_permit.NoteClosed();
  const int fd = m_fd;
  m_fd = -1;
  // Linux releases the descriptor even when close reports EINTR.
  return ::close(fd) != 0 && errno != EINTR ? errno : 0;
}
