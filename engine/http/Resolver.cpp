#include "engine/http/Resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace {

std::atomic<HostLookupFn> g_lookup{nullptr};

// Every address of both families, in the system's order of preference.
int SystemLookup(const std::string& host, std::vector<sockaddr_storage>& out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc == EAI_NONAME || rc == EAI_ADDRFAMILY) {
    // AI_ADDRCONFIG hides ::1 on a machine whose only IPv6 is loopback.
    hints.ai_flags = 0;
    rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  }
  if (rc != 0 || !res) {
    if (res) ::freeaddrinfo(res);
    return rc != 0 ? rc : EAI_FAIL;
  }
  for (addrinfo* a = res; a; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    sockaddr_storage s{};
    std::memcpy(&s, a->ai_addr, a->ai_addrlen);
    out.push_back(s);
  }
  ::freeaddrinfo(res);
  return out.empty() ? EAI_FAIL : 0;
}

int Lookup(const std::string& host, std::vector<sockaddr_storage>& out) {
  if (HostLookupFn fn = g_lookup.load()) {
    sockaddr_in a{};
    const int rc = fn(host, a);
    if (rc != 0) return rc;
    sockaddr_storage s{};
    a.sin_family = AF_INET;
    std::memcpy(&s, &a, sizeof a);
    out.push_back(s);
    return 0;
  }
  return SystemLookup(host, out);
}

// Shared by the caller and the lookup thread: whoever lets go last frees it,
// so a caller that gave up leaves nothing behind for the thread to touch.
struct Pending {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  int rc = EAI_FAIL;
  std::vector<sockaddr_storage> addrs;
};

// RFC 8305: alternate the families, keeping each family's own order, so a
// broken path of one family costs one attempt and not all of its addresses.
std::vector<sockaddr_storage> Interleave(const std::vector<sockaddr_storage>& in) {
  std::vector<sockaddr_storage> first, second;
  const int lead = in.empty() ? AF_INET6 : in.front().ss_family;
  for (const auto& a : in) (a.ss_family == lead ? first : second).push_back(a);
  std::vector<sockaddr_storage> out;
  for (size_t i = 0; i < first.size() || i < second.size(); ++i) {
    if (i < first.size()) out.push_back(first[i]);
    if (i < second.size()) out.push_back(second[i]);
  }
  return out;
}

}  // namespace

void SetHostLookup(HostLookupFn fn) { g_lookup = fn; }

bool ResolveAll(const std::string& host, std::vector<sockaddr_storage>& out, const std::function<bool()>& abandon) {
  out.clear();
  sockaddr_storage literal{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&literal);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&literal);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    out.push_back(literal);
    return true;
  }
  if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    out.push_back(literal);
    return true;
  }
  if (abandon && abandon()) return false;

  auto pending = std::make_shared<Pending>();
  try {
    std::thread([pending, host] {
      std::vector<sockaddr_storage> addrs;
      const int rc = Lookup(host, addrs);
      std::lock_guard<std::mutex> g(pending->lock);
      pending->rc = rc;
      pending->addrs = std::move(addrs);
      pending->finished = true;
      pending->done.notify_all();
    }).detach();
  } catch (...) {
    // No thread to be had: look up here, without the way out.
    std::vector<sockaddr_storage> addrs;
    if (Lookup(host, addrs) != 0) return false;
    out = Interleave(addrs);
    return true;
  }
  std::unique_lock<std::mutex> g(pending->lock);
  while (!pending->finished) {
    pending->done.wait_for(g, std::chrono::milliseconds(20));
    if (!pending->finished && abandon && abandon()) return false;
  }
  if (pending->rc != 0) return false;
  out = Interleave(pending->addrs);
  return true;
}

bool ResolveHost(const std::string& host, sockaddr_in& out, const std::function<bool()>& abandon) {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  std::vector<sockaddr_storage> all;
  if (!ResolveAll(host, all, abandon)) return false;
  for (const auto& a : all) {
    if (a.ss_family != AF_INET) continue;
    std::memcpy(&out, &a, sizeof out);
    return true;
  }
  return false;
}
