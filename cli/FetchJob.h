#pragma once
// One download of `virelomp3-cli fetch`: the engine's job, what it said and
// how far it got. Several run at once in one process, so they share the
// process's limit of connections to a host.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/job/JobListener.h"

class CBlockDownloader;

class FetchJob : private IJobListener {
 public:
  enum class Outcome { Running, Succeeded, Failed };

  // `label` starts each of its lines ("" when it is the only job).
  FetchJob(std::string url, std::string out, int blocks, bool resume, std::string label);
  ~FetchJob();
  FetchJob(const FetchJob&) = delete;
  FetchJob& operator=(const FetchJob&) = delete;

  // The start (lock wait, name lookup, length request) runs on a thread of
  // its own, without SIGINT/SIGTERM, so the caller stays free to notice them.
  void Start();
  void StopAndJoin();

  Outcome outcome() const;
  // Waits up to `ms` for the outcome to be decided.
  Outcome WaitOutcome(int ms);
  long long Received() const;
  long long Length() const { return length_.load(); }
  const std::string& out() const { return out_; }
  // UTF-8: why it failed, the cause first.
  std::string FailureWhy() const;
  // Writes a text on stderr on a line of its own.
  void Say(const std::string& utf8) const;

  // Shared by all jobs: whether progress is redrawn in place, and the lock
  // every line on stderr is written under.
  static bool s_progressOnTty;
  static std::mutex& PrintLock();

 private:
  // IJobListener: the job's reports, on its threads.
  void OnContentLength(int length) override;
  void OnProgress(int received, int, int index) override;
  void OnMessage(const std::string& text, int index) override;
  void OnSuccess() override;
  void OnFailure() override;
  void Finish(Outcome o);
  void SetReceived(int index, long long bytes);

  std::string out_;
  std::string label_;
  std::unique_ptr<CBlockDownloader> job_;
  std::thread starter_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  Outcome outcome_ = Outcome::Running;
  mutable std::mutex receivedLock_;  // never held while taking lock_
  std::vector<long long> received_;
  std::string lastText_;   // GBK: the last text that told of a failure
  std::string lastCause_;  // GBK: the last text that said why a connection failed
  std::vector<std::string> infoTexts_;  // GBK: texts that only tell how far it got
  std::atomic<long long> length_{-1};
};
