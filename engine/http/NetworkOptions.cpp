#include "engine/http/NetworkOptions.h"

#include <mutex>

namespace {

std::mutex g_lock;
NetworkOptions g_options;

}  // namespace

void SetNetworkOptions(const NetworkOptions& options) {
  std::lock_guard<std::mutex> g(g_lock);
  g_options = options;
}

NetworkOptions GetNetworkOptions() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_options;
}
