#pragma once
// The byte stream under one HTTP exchange: TCP to the server or its proxy
// (every address of both families, staggered), the proxy tunnel for https,
// and TLS. Whoever sends a request or reads a reply goes through Send and
// Recv and never learns which of these it is riding on.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "engine/http/HostLimiter.h"
#include "engine/http/RequestRoute.h"

class CTlsChannel;

// Why Open failed.
struct ConnectFault {
  enum Kind { kNone, kLookup, kRefused, kTimedOut, kAbandoned, kCertificate, kProxyRefused };
  Kind kind = kNone;
  std::string text;  // the user's text for it (GBK); empty for kAbandoned
};

class CConnection {
 public:
  CConnection();
  ~CConnection();
  CConnection(CConnection&& other) noexcept;
  CConnection& operator=(CConnection&& other) noexcept;

  // ConTimeOut-style deadline on the steady tick clock covers every address
  // tried, the tunnel and the handshake; the name lookup is bounded by
  // abandon alone, as it always was. smallWindow asks for a small receive
  // buffer (a reply whose body nobody reads).
  bool Open(const CRequestRoute& route, long long deadlineMs, const std::function<bool()>& abandon,
            bool smallWindow);
  const ConnectFault& Fault() const { return m_fault; }

  // Before Open: counts this connection against its target host (through
  // a proxy too; the proxy itself is not limited). A permit the caller took
  // for that host already (`spare`) is used; else it waits for room, for
  // `owner`'s fair share, until `stopped` says so (onWait is told once
  // when it has to wait). The wait is no part of Open's deadline. The
  // permit moves with the connection and Close gives it back. A permit
  // that carried a connection a moment ago waits until the host can have
  // seen that one close.
  bool WaitForHost(const CRequestRoute& route, const void* owner, HostLimiter::Permit& spare,
                   const std::function<bool()>& stopped, const std::function<void()>& onWait);
  // The host this connection is counted under; empty when it holds no permit.
  const std::string& HostKey() const { return m_permit.Host(); }
  // The permit, taken out before a Close that should not give it back; it
  // counts the close that follows.
  HostLimiter::Permit TakePermit();
  // Another task waits for the host with fewer connections than ours.
  bool HostOwed() const { return m_permit.Owed(); }

  // The socket, or -1. Another thread may shutdown(2) it to end a blocked
  // call; only the owner closes it.
  int Fd() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }
  const std::string& Key() const { return m_key; }
  // The TLS session of this connection was a resumed one.
  bool Resumed() const;

  // As send(2) and recv(2) on a blocking socket with its time-outs.
  ssize_t Send(const void* data, size_t size);
  ssize_t Recv(void* data, size_t size, bool dontWait);
  // True when Recv has bytes at once or within ms; false on time-out.
  bool WaitReadable(int ms);
  // 0 or the errno of close(2). The connection and its permit are
  // released either way.
  int Close();

 private:
  int CloseSocket();

  HostLimiter::Permit m_permit;
  int m_fd = -1;
  std::unique_ptr<CTlsChannel> m_tls;
  std::string m_key;
  ConnectFault m_fault;
};
