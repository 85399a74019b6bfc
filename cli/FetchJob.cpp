#include "cli/FetchJob.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/Command.h"
#include "engine/job/BlockDownloader.h"
#include "engine/Gbk.h"
#include "res/Texts.h"
#include "task/Candidate.h"

bool FetchJob::s_progressOnTty = false;

std::mutex& FetchJob::PrintLock() {
  static std::mutex m;
  return m;
}

FetchJob::FetchJob(std::string url, std::string out, int blocks, bool resume, std::string label)
    : out_(std::move(out)), label_(std::move(label)), job_(std::make_unique<CBlockDownloader>(static_cast<IJobListener*>(this))) {
  for (const char* info : {txt::kSockTempOpened, txt::kSockTempCreated, txt::kSockReceiveStart, txt::kSockReceiveDone,
                           txt::kJobAllBlocksDone, txt::kJobMerging, txt::kJobSucceeded})
    infoTexts_.push_back(Utf8ToGbk(info));
  job_->m_strURL = url;
  job_->m_strFileName = out_;
  job_->m_nBlocks = blocks;
  job_->m_bResume = resume ? 1 : 0;
}

FetchJob::~FetchJob() { StopAndJoin(); }

void FetchJob::Start() {
  starter_ = std::thread([this] {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    CBlockDownloader::Start(job_.get());
  });
}

void FetchJob::StopAndJoin() {
  job_->Stop();  // also ends a start that is still waiting or asking
  if (starter_.joinable()) starter_.join();
}

FetchJob::Outcome FetchJob::outcome() const {
  std::lock_guard<std::mutex> g(lock_);
  return outcome_;
}

FetchJob::Outcome FetchJob::WaitOutcome(int ms) {
  std::unique_lock<std::mutex> g(lock_);
  changed_.wait_for(g, std::chrono::milliseconds(ms), [&] { return outcome_ != Outcome::Running; });
  return outcome_;
}

long long FetchJob::Received() const {
  std::lock_guard<std::mutex> g(receivedLock_);
  long long sum = 0;
  for (long long r : received_) sum += r;
  return sum;
}

std::string FetchJob::FailureWhy() const {
  std::string last, cause;
  {
    std::lock_guard<std::mutex> g(lock_);
    last = lastText_;
    cause = lastCause_;
  }
  // The cause first: which step failed matters less than why.
  std::string why = last.empty() ? std::string(txt::kCliJobSaidNothing) : GbkToUtf8(last);
  if (!cause.empty() && cause != last) why = GbkToUtf8(cause) + " (" + why + ")";
  return why;
}

void FetchJob::Say(const std::string& utf8) const {
  std::lock_guard<std::mutex> g(PrintLock());
  // Clear a half-drawn progress line so the text starts on its own line.
  if (s_progressOnTty) std::fputs("\r\033[K", stderr);
  std::fprintf(stderr, "%s%s\n", label_.c_str(), utf8.c_str());
}

void FetchJob::Finish(Outcome o) {
  std::lock_guard<std::mutex> g(lock_);
  if (outcome_ == Outcome::Running) outcome_ = o;
  changed_.notify_all();
}

// By block number: splits add blocks past --blocks, and their bytes count.
void FetchJob::SetReceived(int index, long long bytes) {
  if (index < 0) return;
  std::lock_guard<std::mutex> g(receivedLock_);
  if (static_cast<size_t>(index) >= received_.size()) received_.resize(static_cast<size_t>(index) + 1, 0);
  received_[static_cast<size_t>(index)] = bytes;
}

void FetchJob::OnContentLength(int length) { length_ = length; }

void FetchJob::OnProgress(int received, int, int index) { SetReceived(index, received); }

void FetchJob::OnMessage(const std::string& text, int index) {
  {
    std::lock_guard<std::mutex> g(lock_);
    // "接收文件完成" follows every receive, a failed one too: the cause is
    // the text before it.
    if (std::find(infoTexts_.begin(), infoTexts_.end(), text) == infoTexts_.end()) lastText_ = text;
    if (IsFailureCause(text)) lastCause_ = text;
  }
  if (index < 0)
    Say("[job] " + GbkToUtf8(text));
  else
    Say("[block " + std::to_string(index) + "] " + GbkToUtf8(text));
}

void FetchJob::OnSuccess() { Finish(Outcome::Succeeded); }
void FetchJob::OnFailure() { Finish(Outcome::Failed); }
