// virelomp3-cli fetch URL OUT [URL OUT]... [--blocks N] [--host-connections N] [--no-resume]: download
// jobs run at once with the same engine the program uses, with its texts and progress on stderr.
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
#include "cli/FetchJob.h"
#include "engine/job/BlockDownloader.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/job/TempFolder.h"
#include "engine/http/Url.h"
#include "engine/http/HostLimiter.h"
#include "res/Texts.h"
#include "task/Candidate.h"

namespace {

constexpr int kMaxBlocks = 64;


std::string WithSeparators(long long n) {
  std::string s = std::to_string(n);
  InsertThousandSeparators(s);
  return s;
}

void PrintProgress(const std::vector<std::unique_ptr<FetchJob>>& jobs, double bytesPerSec, bool final) {
  long long got = 0, len = 0;
  for (const auto& j : jobs) {
    got += j->Received();
    // One unknown length makes the whole unknown.
    len = len < 0 || j->Length() <= 0 ? -1 : len + j->Length();
  }
  char line[256];
  if (len > 0) {
    std::snprintf(line, sizeof line, "%s / %s %s  %5.1f%%  %.2f MiB/s", WithSeparators(got).c_str(),
                  WithSeparators(len).c_str(), txt::kCliBytesWord, 100.0 * static_cast<double>(got) / static_cast<double>(len),
                  bytesPerSec / (1024.0 * 1024.0));
  } else {
    std::snprintf(line, sizeof line, "%s %s  %.2f MiB/s", WithSeparators(got).c_str(), txt::kCliBytesWord,
                  bytesPerSec / (1024.0 * 1024.0));
  }
  std::lock_guard<std::mutex> g(FetchJob::PrintLock());
  if (FetchJob::s_progressOnTty)
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
  const std::string dir = GetPathFolder(out);
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
  if (positional.empty() || positional.size() % 2 != 0) return Fail(txt::kCliFetchUsage);
  // Every pair is checked before any byte is fetched: a typo in the last
  // must not waste the others' time.
  for (size_t i = 0; i < positional.size(); i += 2) {
    UrlParts parts;
    if (!SplitWebUrl(positional[i], parts)) return Fail(FormatCliText(txt::kCliUnusableUrl, positional[i]));
    std::string problem = CheckTarget(positional[i + 1]);
    if (!problem.empty()) return Fail(problem);
    for (size_t k = 1; k < i; k += 2)
      if (positional[k] == positional[i + 1]) return Fail(FormatCliText(txt::kCliOutTwice, positional[k]));
  }
  if (const std::string refused = TempFolder::RefusalText(); !refused.empty()) return Fail(GbkToUtf8(refused));

  HostLimiter::Instance().SetCeiling(hostConnections);
  // The proxy and trust file of MP3.ini, as the program's every other
  // connection has them: on a network where only the proxy gets out, a
  // fetch that went round it would fail.
  CNetworkSettings::Load(GetIniFilePath());

  FetchJob::s_progressOnTty = isatty(STDERR_FILENO) == 1;
  CatchEndingSignals({SIGINT, SIGTERM});

  // With several jobs each line says whose it is; one job's lines stay as
  // they always were.
  const bool several = positional.size() > 2;
  std::vector<std::unique_ptr<FetchJob>> jobs;
  for (size_t i = 0; i < positional.size(); i += 2)
    jobs.push_back(std::make_unique<FetchJob>(positional[i], positional[i + 1], blocks, resume,
                                              several ? positional[i + 1] + ": " : std::string()));

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  std::vector<double> tookSeconds(jobs.size(), 0);
  // The signal always reaches this thread and never cuts short a block's
  // receive: the jobs' threads run without SIGINT/SIGTERM.
  for (auto& j : jobs) j->Start();

  // Speed over a sliding window of recent samples, so resumed bytes that
  // were already on disk do not count as fetched now.
  struct Sample {
    Clock::time_point at;
    long long bytes;
  };
  std::vector<Sample> window;
  const auto interval = std::chrono::milliseconds(FetchJob::s_progressOnTty ? 250 : 1000);
  auto nextPrint = Clock::now() + interval;
  double speed = 0;
  for (;;) {
    size_t running = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
      if (tookSeconds[i] > 0) continue;
      if (jobs[i]->WaitOutcome(running == 0 ? 100 : 0) == FetchJob::Outcome::Running) {
        ++running;
      } else {
        tookSeconds[i] = std::max(1e-6, std::chrono::duration<double>(Clock::now() - started).count());
      }
    }
    if (running == 0 || g_cliInterrupted) break;
    auto now = Clock::now();
    long long got = 0;
    for (const auto& j : jobs) got += j->Received();
    window.push_back({now, got});
    while (window.size() > 1 && now - window.front().at > std::chrono::seconds(3)) window.erase(window.begin());
    if (window.size() > 1) {
      double secs = std::chrono::duration<double>(window.back().at - window.front().at).count();
      if (secs > 0) speed = static_cast<double>(window.back().bytes - window.front().bytes) / secs;
    }
    if (now >= nextPrint) {
      PrintProgress(jobs, speed, false);
      nextPrint = now + interval;
    }
  }

  for (auto& j : jobs) j->StopAndJoin();
  const double total = std::chrono::duration<double>(Clock::now() - started).count();
  const char* lead = FetchJob::s_progressOnTty ? "\n" : "";
  // Once a job's end is decided, its merge runs on to the end whatever
  // the Stop: what is said is what happened, not what was asked for.
  bool anyRunning = false, allSaved = true;
  long long length = 0;
  for (const auto& j : jobs) {
    anyRunning |= j->outcome() == FetchJob::Outcome::Running;
    allSaved &= j->outcome() == FetchJob::Outcome::Succeeded;
    length += std::max(0LL, j->Length());
  }
  if (g_cliInterrupted && anyRunning) {
    std::fprintf(stderr, "%svirelomp3-cli fetch: %s\n", lead, txt::kCliFetchInterrupted);
    return 130;
  }
  if (g_cliInterrupted) std::fprintf(stderr, "%svirelomp3-cli fetch: %s\n", lead, txt::kCliFetchInterruptedAtEnd);
  if (allSaved) PrintProgress(jobs, total > 0 && length > 0 ? static_cast<double>(length) / total : speed, true);
  for (size_t i = 0; i < jobs.size(); ++i) {
    const FetchJob& j = *jobs[i];
    if (j.outcome() == FetchJob::Outcome::Succeeded) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.2f", several ? tookSeconds[i] : total);
      std::fprintf(stderr, "%s\n", FillCliText(txt::kCliFetchSaved, {j.out(), seconds}).c_str());
    } else {
      const std::string failed = FormatCliText(txt::kCliFetchFailed, j.FailureWhy());
      std::fprintf(stderr, "%svirelomp3-cli fetch: %s%s\n", allSaved || i > 0 ? "" : lead,
                   several ? (j.out() + ": ").c_str() : "", failed.c_str());
    }
  }
  return allSaved ? 0 : 1;
}

const bool kRegistered = RegisterCliCommand(
    {"fetch", "fetch URL OUT [URL OUT]... [--blocks N] [--host-connections N] [--no-resume]", txt::kCliFetchSummary, RunFetch,
     txt::kCliFetchHelp,
     {{"--blocks", "N", txt::kCliBlocksOption},
      {"--host-connections", "N", txt::kCliHostConnectionsOption},
      {"--no-resume", nullptr, txt::kCliNoResumeOption}}});

}  // namespace
