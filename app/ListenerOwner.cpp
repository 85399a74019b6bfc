#include "app/ListenerOwner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>

namespace {

constexpr const char kListen[] = "0A";

bool Hex32(const std::string& s, uint32_t& out) {
  if (s.size() != 8) return false;
  try {
    size_t used = 0;
    out = static_cast<uint32_t>(std::stoul(s, &used, 16));
    return used == 8;
  } catch (...) {
    return false;
  }
}

// The kernel prints each 32-bit word of the address as the host reads it,
// so the words compare with in-memory addresses as they are.
bool ReachableFromLoopback(const std::string& addr, bool v6) {
  if (!v6) {
    uint32_t a = 0;
    return Hex32(addr, a) && (a == htonl(INADDR_LOOPBACK) || a == htonl(INADDR_ANY));
  }
  if (addr.size() != 32) return false;
  uint32_t w[4];
  for (int i = 0; i < 4; ++i)
    if (!Hex32(addr.substr(static_cast<size_t>(i) * 8, 8), w[i])) return false;
  const bool any = w[0] == 0 && w[1] == 0 && w[2] == 0 && w[3] == 0;
  const bool mapped = w[0] == 0 && w[1] == 0 && w[2] == htonl(0xffff) &&
                      (w[3] == htonl(INADDR_LOOPBACK) || w[3] == htonl(INADDR_ANY));
  return any || mapped;
}

std::string ReadAll(const char* path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

std::vector<uid_t> ListenerOwner::Parse(const std::string& table, bool v6, int port) {
  std::vector<uid_t> uids;
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // the column titles
  while (std::getline(lines, line)) {
    // sl local rem st tx:rx tr:when retrnsmt uid ...
    std::istringstream f(line);
    std::string sl, local, remote, state, queues, timer, retransmits;
    long long uid = -1;
    if (!(f >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid) || uid < 0) continue;
    const size_t colon = local.find(':');
    if (state != kListen || colon == std::string::npos) continue;
    unsigned long p = 0;
    try {
      p = std::stoul(local.substr(colon + 1), nullptr, 16);
    } catch (...) {
      continue;
    }
    if (static_cast<int>(p) != port || !ReachableFromLoopback(local.substr(0, colon), v6)) continue;
    uids.push_back(static_cast<uid_t>(uid));
  }
  return uids;
}

std::vector<uid_t> ListenerOwner::UidsOn(int port) {
  std::vector<uid_t> uids = Parse(ReadAll("/proc/net/tcp"), false, port);
  for (uid_t u : Parse(ReadAll("/proc/net/tcp6"), true, port)) uids.push_back(u);
  return uids;
}

bool ListenerOwner::Ours(int port) {
  const std::vector<uid_t> uids = UidsOn(port);
  if (uids.empty()) return false;
  for (uid_t u : uids)
    if (u != ::geteuid()) return false;
  return true;
}
