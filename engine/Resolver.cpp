#include "engine/Resolver.h"

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

int SystemLookup(const std::string& host, sockaddr_in& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || !res) {
    if (res) ::freeaddrinfo(res);
    return rc != 0 ? rc : EAI_FAIL;
  }
  std::memcpy(&out, res->ai_addr, sizeof out);
  ::freeaddrinfo(res);
  return 0;
}

std::atomic<HostLookupFn> g_lookup{nullptr};

// Shared by the caller and the lookup thread: whoever lets go last frees it,
// so a caller that gave up leaves nothing behind for the thread to touch.
struct Pending {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  int rc = EAI_FAIL;
  sockaddr_in addr{};
};

}  // namespace

void SetHostLookup(HostLookupFn fn) { g_lookup = fn; }

bool ResolveHost(const std::string& host, sockaddr_in& out, const std::function<bool()>& abandon) {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  if (::inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1) return true;
  if (abandon && abandon()) return false;

  HostLookupFn fn = g_lookup.load();
  if (!fn) fn = SystemLookup;
  auto pending = std::make_shared<Pending>();
  try {
    std::thread([pending, fn, host] {
      sockaddr_in addr{};
      const int rc = fn(host, addr);
      std::lock_guard<std::mutex> g(pending->lock);
      pending->rc = rc;
      pending->addr = addr;
      pending->finished = true;
      pending->done.notify_all();
    }).detach();
  } catch (...) {
    // No thread to be had: look up here, without the way out.
    return fn(host, out) == 0;
  }
  std::unique_lock<std::mutex> g(pending->lock);
  while (!pending->finished) {
    pending->done.wait_for(g, std::chrono::milliseconds(20));
    if (!pending->finished && abandon && abandon()) return false;
  }
  if (pending->rc != 0) return false;
  out = pending->addr;
  return true;
}
