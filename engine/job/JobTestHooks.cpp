#include "engine/job/JobTestHooks.h"

#include <mutex>
#include <utility>

namespace {
std::mutex g_hookLock;
std::function<void(int)> g_threadStart;               // under g_hookLock
std::function<void(CBlockDownloader&)> g_mergeEnd;    // under g_hookLock
}  // namespace

void JobTestHooks::SetThreadStart(std::function<void(int n)> hook) {
  std::lock_guard<std::mutex> g(g_hookLock);
  g_threadStart = std::move(hook);
}

std::function<void(int n)> JobTestHooks::ThreadStart() {
  std::lock_guard<std::mutex> g(g_hookLock);
  return g_threadStart;
}

void JobTestHooks::SetMergeEnd(std::function<void(CBlockDownloader&)> hook) {
  std::lock_guard<std::mutex> g(g_hookLock);
  g_mergeEnd = std::move(hook);
}

void JobTestHooks::RunMergeEnd(CBlockDownloader& job) {
  std::function<void(CBlockDownloader&)> hook;
  {
    std::lock_guard<std::mutex> g(g_hookLock);
    hook = g_mergeEnd;
  }
  if (hook) hook(job);
}
