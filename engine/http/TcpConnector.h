#pragma once
// TCP connect to the first of several addresses that answers: the next
// address is started when the current ones have not connected within
// 250 ms, and the first to connect wins (RFC 8305), so one dead address of
// a dual-stack host costs a quarter second, not a whole time-out.
#include <sys/socket.h>

#include <functional>
#include <vector>

struct TcpResult {
  enum Kind { kConnected, kFailed, kTimedOut, kAbandoned };
  Kind kind = kFailed;
  int fd = -1;  // kConnected: a blocking socket, close-on-exec
  int err = 0;  // kFailed: errno of the last address that failed
};

class CTcpConnector {
 public:
  static constexpr int kStaggerMs = 250;

  // addrs carry no port; port is set on each. deadlineMs is on the steady
  // tick clock; abandon is asked every few tens of milliseconds.
  // receiveBuffer > 0 sets SO_RCVBUF before connecting.
  static TcpResult Connect(const std::vector<sockaddr_storage>& addrs, int port, long long deadlineMs,
                           const std::function<bool()>& abandon, int receiveBuffer = 0);
};
