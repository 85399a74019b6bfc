// virelomp3-cli fetch URL OUT [--blocks N] [--host-connections N] [--no-resume]: one download job,
// the same engine the program uses, with its texts and progress on stderr.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/NetworkSettings.h"
#include "cli/Command.h"
#include "engine/BlockDownloader.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/TempFolder.h"
#include "engine/Url.h"
#include "engine/http/HostLimiter.h"
#include "res/Texts.h"
#include "task/Candidate.h"

namespace {

constexpr int kMaxBlocks = 64;


enum class Outcome { Running, Succeeded, Failed };

struct FetchState {
  std::mutex lock;
  std::condition_variable changed;
  Outcome outcome = Outcome::Running;
  mutable std::mutex receivedLock;  // never held while taking `lock`
  std::vector<long long> received;
  std::string lastText;  // GBK: the last text that told of a failure
  std::string lastCause;  // GBK: the last text that said why a connection failed
  std::vector<std::string> infoTexts;  // GBK: texts that only tell how far it got
  std::atomic<long long> length{-1};
  bool progressOnTty = false;

  // By block number: splits add blocks past --blocks, and their bytes count.
  void SetReceived(int index, long long bytes) {
    if (index < 0) return;
    std::lock_guard<std::mutex> g(receivedLock);
    if (static_cast<size_t>(index) >= received.size()) received.resize(static_cast<size_t>(index) + 1, 0);
    received[static_cast<size_t>(index)] = bytes;
  }
  long long Received() const {
    std::lock_guard<std::mutex> g(receivedLock);
    long long sum = 0;
    for (long long r : received) sum += r;
    return sum;
  }
  void Finish(Outcome o) {
    std::lock_guard<std::mutex> g(lock);
    if (outcome == Outcome::Running) outcome = o;
    changed.notify_all();
  }
};

void JobContentLength(void* user, int length) { static_cast<FetchState*>(user)->length = length; }

void JobProgress(void* user, int received, int, int index) {
  static_cast<FetchState*>(user)->SetReceived(index, received);
}

void JobMessage(void* user, const std::string& text, int index) {
  auto* s = static_cast<FetchState*>(user);
  {
    std::lock_guard<std::mutex> g(s->lock);
    // "接收文件完成" follows every receive, a failed one too: the cause is
    // the text before it.
    if (std::find(s->infoTexts.begin(), s->infoTexts.end(), text) == s->infoTexts.end()) s->lastText = text;
    if (IsFailureCause(text)) s->lastCause = text;
    // Clear a half-drawn progress line so the text starts on its own line.
    if (s->progressOnTty) std::fputs("\r\033[K", stderr);
    if (index < 0)
      std::fprintf(stderr, "[job] %s\n", GbkToUtf8(text).c_str());
    else
      std::fprintf(stderr, "[block %d] %s\n", index, GbkToUtf8(text).c_str());
  }
}

void JobSuccess(void* user) { static_cast<FetchState*>(user)->Finish(Outcome::Succeeded); }
void JobFailure(void* user) { static_cast<FetchState*>(user)->Finish(Outcome::Failed); }

std::string WithSeparators(long long n) {
  std::string s = std::to_string(n);
  InsertThousandSeparators(s);
  return s;
}

void PrintProgress(FetchState& s, double bytesPerSec, bool final) {
  long long got = s.Received();
  long long len = s.length.load();
  char line[256];
  if (len > 0) {
    std::snprintf(line, sizeof line, "%s / %s %s  %5.1f%%  %.2f MiB/s", WithSeparators(got).c_str(),
                  WithSeparators(len).c_str(), txt::kCliBytesWord, 100.0 * static_cast<double>(got) / static_cast<double>(len),
                  bytesPerSec / (1024.0 * 1024.0));
  } else {
    std::snprintf(line, sizeof line, "%s %s  %.2f MiB/s", WithSeparators(got).c_str(), txt::kCliBytesWord,
                  bytesPerSec / (1024.0 * 1024.0));
  }
  std::lock_guard<std::mutex> g(s.lock);
  if (s.progressOnTty)
    std::fprintf(stderr, "\r\033[K%s%s", line, final ? "\n" : "");
  else
    std::fprintf(stderr, "%s\n", line);
}

bool ParseBlocks(const std::string& text, int& out) {
  if (text.empty() || text.size() > 9) return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  out = n;
  return true;
}

// The job only learns of an unusable target at the very end, after the whole
// download; refuse it before any byte is fetched.
std::string CheckTarget(const std::string& out) {
  if (out.empty() || out.back() == '/') return txt::kCliOutIsFolderName;
  struct stat st;
  if (stat(out.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return FormatCliText(txt::kCliOutIsFolder, out);
    if (access(out.c_str(), W_OK) != 0) return FormatCliText(txt::kCliOutNotWritable, out);
  }
  size_t slash = out.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return FormatCliText(txt::kCliOutFolderMissing, dir);
  if (access(dir.c_str(), W_OK | X_OK) != 0) return FormatCliText(txt::kCliOutFolderNotWritable, dir);
  return std::string();
}

// "<option> must be a whole number from low to high, not '<value>'".
std::string OutOfRange(const char* option, int low, int high, const std::string& value) {
  return FillCliText(txt::kCliNumberRange, {option, std::to_string(low), std::to_string(high), value});
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "virelomp3-cli fetch: %s\n", text.c_str());
  return 2;
}

int RunFetch(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  int blocks = 4;
  bool resume = true;
  int hostConnections = HostLimiter::kDefaultLimit;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--no-resume") {
      resume = false;
    } else if (a == "--blocks" || a.rfind("--blocks=", 0) == 0) {
      std::string value;
      if (a == "--blocks") {
        if (i + 1 >= args.size()) return Fail(FormatCliText(txt::kCliNeedsNumber, a));
        value = args[++i];
      } else {
        value = a.substr(9);
      }
      if (!ParseBlocks(value, blocks) || blocks < 1 || blocks > kMaxBlocks)
        return Fail(OutOfRange("--blocks", 1, kMaxBlocks, value));
    } else if (a == "--host-connections" || a.rfind("--host-connections=", 0) == 0) {
      std::string value;
      if (a == "--host-connections") {
        if (i + 1 >= args.size()) return Fail(FormatCliText(txt::kCliNeedsNumber, a));
        value = args[++i];
      } else {
        value = a.substr(19);
      }
      if (!ParseBlocks(value, hostConnections) || hostConnections < HostLimiter::kMinLimit ||
          hostConnections > HostLimiter::kMaxLimit)
        return Fail(OutOfRange("--host-connections", HostLimiter::kMinLimit, HostLimiter::kMaxLimit, value));
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail(FormatCliText(txt::kCliUnknownOption, a));
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) return Fail(txt::kCliFetchUsage);
  const std::string& url = positional[0];
  const std::string& out = positional[1];

  UrlParts parts;
  if (!SplitWebUrl(url, parts)) return Fail(FormatCliText(txt::kCliUnusableUrl, url));
  std::string problem = CheckTarget(out);
  if (!problem.empty()) return Fail(problem);
  if (const std::string refused = TempFolder::RefusalText(); !refused.empty()) return Fail(GbkToUtf8(refused));

  HostLimiter::Instance().SetCeiling(hostConnections);
  // The proxy and trust file of MP3.ini, as the program's every other
  // connection has them: on a network where only the proxy gets out, a
  // fetch that went round it would fail.
  CNetworkSettings::Load(GetIniFilePath());

  FetchState state;
  state.progressOnTty = isatty(STDERR_FILENO) == 1;
  for (const char* info : {txt::kSockTempOpened, txt::kSockTempCreated, txt::kSockReceiveStart, txt::kSockReceiveDone,
                           txt::kJobAllBlocksDone, txt::kJobMerging, txt::kJobSucceeded})
    state.infoTexts.push_back(Utf8ToGbk(info));

  CatchEndingSignals({SIGINT, SIGTERM});

  auto job = std::make_unique<CBlockDownloader>(&state);
  job->m_strURL = url;
  job->m_strFileName = out;
  job->m_nBlocks = blocks;
  job->m_bResume = resume ? 1 : 0;
  job->OnSuccess = JobSuccess;
  job->OnFailure = JobFailure;
  job->OnContentLength = JobContentLength;
  job->OnProgress = JobProgress;
  job->OnMessage = JobMessage;

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  // The start (lock wait, name lookup, length request) runs on a thread of
  // its own, so this thread stays free to notice Ctrl-C at any moment and
  // stop the job. That thread and the block threads it makes run without
  // SIGINT/SIGTERM, so the signal always reaches this thread and never cuts
  // short a block's receive.
  std::thread starter([&job] {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    CBlockDownloader::Start(job.get());
  });

  // Speed over a sliding window of recent samples, so resumed bytes that
  // were already on disk do not count as fetched now.
  struct Sample {
    Clock::time_point at;
    long long bytes;
  };
  std::vector<Sample> window;
  const auto interval = std::chrono::milliseconds(state.progressOnTty ? 250 : 1000);
  auto nextPrint = Clock::now() + interval;
  Outcome outcome;
  double speed = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> g(state.lock);
      state.changed.wait_for(g, std::chrono::milliseconds(100),
                             [&] { return state.outcome != Outcome::Running; });
      outcome = state.outcome;
    }
    if (outcome != Outcome::Running || g_cliInterrupted) break;
    auto now = Clock::now();
    window.push_back({now, state.Received()});
    while (window.size() > 1 && now - window.front().at > std::chrono::seconds(3)) window.erase(window.begin());
    if (window.size() > 1) {
      double secs = std::chrono::duration<double>(window.back().at - window.front().at).count();
      if (secs > 0) speed = static_cast<double>(window.back().bytes - window.front().bytes) / secs;
    }
    if (now >= nextPrint) {
      PrintProgress(state, speed, false);
      nextPrint = now + interval;
    }
  }

  job->Stop();  // also ends a start that is still waiting or asking
  starter.join();
  const double total = std::chrono::duration<double>(Clock::now() - started).count();
  // Once the job's end is decided, its merge runs on to the end whatever
  // the Stop: what is said is what happened, not what was asked for.
  {
    std::lock_guard<std::mutex> g(state.lock);
    outcome = state.outcome;
  }
  if (g_cliInterrupted && outcome == Outcome::Running) {
    std::fprintf(stderr, "%svirelomp3-cli fetch: %s\n", state.progressOnTty ? "\n" : "", txt::kCliFetchInterrupted);
    return 130;
  }
  if (g_cliInterrupted)
    std::fprintf(stderr, "%svirelomp3-cli fetch: %s\n", state.progressOnTty ? "\n" : "",
                 txt::kCliFetchInterruptedAtEnd);
  if (outcome == Outcome::Succeeded) {
    long long len = state.length.load();
    PrintProgress(state, total > 0 && len > 0 ? static_cast<double>(len) / total : speed, true);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", total);
    std::fprintf(stderr, "%s\n", FillCliText(txt::kCliFetchSaved, {out, seconds}).c_str());
    return 0;
  }
  std::string last, cause;
  {
    std::lock_guard<std::mutex> g(state.lock);
    last = state.lastText;
    cause = state.lastCause;
  }
  // The cause first: which step failed matters less than why.
  std::string why = last.empty() ? std::string(txt::kCliJobSaidNothing) : GbkToUtf8(last);
  if (!cause.empty() && cause != last) why = GbkToUtf8(cause) + " (" + why + ")";
  std::fprintf(stderr, "%svirelomp3-cli fetch: %s\n", state.progressOnTty ? "\n" : "",
               FormatCliText(txt::kCliFetchFailed, why).c_str());
  return 1;
}

const bool kRegistered = RegisterCliCommand(
    {"fetch", "fetch URL OUT [--blocks N] [--host-connections N] [--no-resume]", txt::kCliFetchSummary, RunFetch,
     txt::kCliFetchHelp,
     {{"--blocks", "N", txt::kCliBlocksOption},
      {"--host-connections", "N", txt::kCliHostConnectionsOption},
      {"--no-resume", nullptr, txt::kCliNoResumeOption}}});

}  // namespace
