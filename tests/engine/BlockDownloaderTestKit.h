#pragma once
// Shared pieces of the download job tests: an owner that records every
// callback, and a count of the job's block threads (they carry a name).
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/job/BlockDownloader.h"
#include "engine/Common.h"
#include "res/Texts.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace bdtest {

struct Message {
  std::string text;  // GBK
  int index;
};

class Owner : public IJobListener {
 public:
  void Attach(CBlockDownloader& job) { job.m_pUserData = this; }

  // Run inside the callbacks, on the calling thread, outside the lock.
  std::function<void()> onSuccess, onFailure;
  std::function<void(int received, int blockLength, int index)> onProgress;

  // The job has ended: its final callback.
  bool WaitEnd(int ms = 20000) {
    std::unique_lock<std::mutex> lk(m_lock);
    return m_cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return EndedLocked(); });
  }
  bool WaitProgress(int ms = 10000) {
    std::unique_lock<std::mutex> lk(m_lock);
    return m_cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return m_progress > 0; });
  }

  int successes() const { return Get(m_successes); }
  int failures() const { return Get(m_failures); }
  int contentLength() const { return Get(m_contentLength); }
  std::vector<Message> messages() const {
    std::lock_guard<std::mutex> lk(m_lock);
    return m_messages;
  }
  int Count(const std::string& gbk, int index) const {
    int n = 0;
    for (const auto& m : messages())
      if (m.text == gbk && m.index == index) ++n;
    return n;
  }
  // The job's own texts (index -1), in order.
  std::vector<std::string> JobTexts() const {
    std::vector<std::string> out;
    for (const auto& m : messages())
      if (m.index == -1) out.push_back(m.text);
    return out;
  }

 private:
  template <typename V>
  V Get(const V& v) const {
    std::lock_guard<std::mutex> lk(m_lock);
    return v;
  }
  bool EndedLocked() const {
    return m_successes + m_failures > 0;
  }
  void OnSuccess() override {
    // Counted once the hook has returned, so a waiting test knows the hook
    // (which may delete the job) is done with everything it touched.
    if (onSuccess) onSuccess();
    std::lock_guard<std::mutex> lk(m_lock);
    ++m_successes;
    m_cv.notify_all();
  }
  void OnFailure() override {
    // Counted once the hook has returned, so a waiting test knows the hook
    // (which may delete the job) is done with everything it touched.
    if (onFailure) onFailure();
    std::lock_guard<std::mutex> lk(m_lock);
    ++m_failures;
    m_cv.notify_all();
  }
  void OnContentLength(int length) override {
    std::lock_guard<std::mutex> lk(m_lock);
    m_contentLength = length;
  }
  void OnProgress(int received, int blockLength, int index) override {
    {
      std::lock_guard<std::mutex> lk(m_lock);
      ++m_progress;
      m_cv.notify_all();
    }
    if (onProgress) onProgress(received, blockLength, index);
  }
  void OnMessage(const std::string& text, int index) override {
    std::lock_guard<std::mutex> lk(m_lock);
    m_messages.push_back({text, index});
    m_cv.notify_all();
  }

  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  int m_successes = 0;
  int m_failures = 0;
  int m_contentLength = -1;
  long long m_progress = 0;
  std::vector<Message> m_messages;
};

// Live block threads of every job in this process.
inline int BlockThreads() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  if (!d) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind("vmp3-block", 0) == 0) ++n;
  }
  closedir(d);
  return n;
}

// Polls pred every 5 ms for at most ms milliseconds.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 10000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Bounded wait for the block threads to be gone; detached ones leave by
// themselves shortly after their last callback.
inline bool WaitNoBlockThreads(int ms = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (BlockThreads() != 0) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline long long MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

// The Range of each request for path from the skip-th on. A job's first
// request asks "bytes=0-": its reply tells the file's facts and its body
// is block 0's.
inline std::vector<std::string> BlockRanges(const vtest::ScriptedServer& srv, const std::string& path,
                                            size_t skip = 0) {
  std::vector<std::string> out;
  auto reqs = srv.requestsFor(path);
  for (size_t i = skip; i < reqs.size(); ++i) out.push_back(reqs[i].range);
  return out;
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A private home, a server and an owner; jobs are made with the owner's
// callbacks wired and run the way the download task runs them.
class JobFixture : public ::testing::Test {
 protected:
  std::string Target(const std::string& name) const { return home.downloads() + "/" + name; }
  std::string BlockFile(const std::string& name, int i) const {
    return home.temp() + name + "-" + std::to_string(i) + ".hpt";
  }
  std::string Sidecar(const std::string& name) const { return home.temp() + name + ".job.hpt"; }
  // Where older copies kept the record, and the scratch names of a write.
  std::string OldSidecar(const std::string& name) const { return home.temp() + name + ".hpt"; }
  std::vector<std::string> Scratch(const std::string& name) const {
    return {home.temp() + name + ".job.tmp.hpt", home.temp() + name + ".hpt.tmp"};
  }
  std::unique_ptr<CBlockDownloader> Job(const std::string& url, const std::string& target, int blocks,
                                        Owner& o, bool resume = false) {
    auto job = std::make_unique<CBlockDownloader>(nullptr);
    o.Attach(*job);
    job->m_strURL = url;
    job->m_strFileName = target;
    job->m_nBlocks = blocks;
    job->m_bResume = resume ? 1 : 0;
    return job;
  }
  // Starts, waits for the end and stops, as the owner does.
  void Run(CBlockDownloader& job, Owner& o) {
    CBlockDownloader::Start(&job);
    ASSERT_TRUE(o.WaitEnd());
    job.Stop();
  }
  void ExpectNoLeftovers(const std::string& target) const {
    const std::string name = GetPathFileName(target);
    EXPECT_FALSE(Exists(target + ".part"));
    EXPECT_FALSE(Exists(CPartShadow::PathFor(target)));
    EXPECT_FALSE(Exists(Sidecar(name)));
    // That name may be another target's block; only a record there is ours.
    EXPECT_FALSE(CSidecar::IsRecordFile(OldSidecar(name)));
    for (const auto& s : Scratch(name)) EXPECT_FALSE(Exists(s)) << s;
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(Exists(BlockFile(name, i))) << i;
  }

  vtest::TempHome home;
  vtest::ScriptedServer srv;
  Owner owner;
};

}  // namespace bdtest
