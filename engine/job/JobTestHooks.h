#pragma once
// Where tests step into a running job: before a block thread is created
// (what the hook throws stands for a thread the system would not create),
// and once a merge's end is decided, just before the song takes its name.
// An empty hook does nothing.
#include <functional>

class CBlockDownloader;

namespace JobTestHooks {

void SetThreadStart(std::function<void(int n)> hook);
std::function<void(int n)> ThreadStart();
void SetMergeEnd(std::function<void(CBlockDownloader&)> hook);
void RunMergeEnd(CBlockDownloader& job);

}  // namespace JobTestHooks
