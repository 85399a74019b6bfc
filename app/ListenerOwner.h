#pragma once
// Who listens on a loopback port. Answering proves nothing: any local user
// may bind a free port first. The kernel's socket tables (/proc/net/tcp
// and /proc/net/tcp6) name the uid that made each listening socket.
#include <sys/types.h>

#include <string>
#include <vector>

class ListenerOwner {
 public:
  // The uids of the listeners a connection to 127.0.0.1:port may reach
  // (bound to 127.0.0.1, to any IPv4 address, or to ::, ::ffff:127.0.0.1).
  static std::vector<uid_t> UidsOn(int port);
  // True when something listens there and every such listener is ours.
  static bool Ours(int port);
  // The listeners of one table's text that UidsOn counts; v6 for tcp6.
  static std::vector<uid_t> Parse(const std::string& table, bool v6, int port);
};
