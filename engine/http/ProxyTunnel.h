#pragma once
// CONNECT through an http proxy: after it, the socket carries bytes to the
// target as if connected to it directly.
#include <functional>
#include <string>

struct TunnelResult {
  enum Kind { kOpen, kRefused, kFailed, kTimedOut, kAbandoned };
  Kind kind = kFailed;
  std::string statusLine;  // kRefused: the proxy's first reply line
};

class CProxyTunnel {
 public:
  // fd is connected to the proxy and blocking. authority is "host:port" of
  // the target; authorization the Proxy-Authorization value or "".
  static TunnelResult Open(int fd, const std::string& authority, const std::string& authorization,
                           long long deadlineMs, const std::function<bool()>& abandon);
};
