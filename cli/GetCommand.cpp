// virelomp3-cli get [--no-update-check] [--no-server] [--idle-timeout SEC] ["name1;name2;..."]
// The whole road without windows: the application core with a console port.
// Names come from the arguments, else one or more a line from stdin.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloaderApp.h"
#include "cli/Command.h"
#include "cli/ConsoleScreen.h"
#include "cli/ConsolePort.h"
#include "cli/LiveLine.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/TextRules.h"
#include "res/Texts.h"
#include "task/DownloadTask.h"

namespace {

// Set once stdout is found closed (the reader of a pipe went away): nothing
// more is written there, and the run ends as if interrupted.
bool g_outputClosed = false;

using Clock = std::chrono::steady_clock;

enum class Outcome { Waiting, Finished, Failed };

struct Tracked {
  std::string name;  // GBK, cut as the table holds it
  Outcome outcome = Outcome::Waiting;
  std::string why;   // GBK: the text it failed on
  std::string shown;  // last line printed (plain output)
  std::string saved;  // UTF-8 path of the finished song
  Clock::time_point queuedUntil = Clock::now();  // last time it was seen without a slot
};

const CliCommand& GetCommand();

// Writes to stdout; a closed pipe ends the run instead of killing it, so the
// task list is still saved.
void Out(const std::string& text) {
  if (g_outputClosed) return;
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    if (errno == EPIPE) {
      g_outputClosed = true;
      g_cliInterrupted = 1;
    }
    clearerr(stdout);
  }
}

// A pipe whose reader left reports an error on poll even when we have
// nothing to write, so a quiet download notices "| head" going away.
void CheckOutputPipe() {
  struct stat st;
  if (g_outputClosed || fstat(STDOUT_FILENO, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return;
  pollfd p = {STDOUT_FILENO, 0, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP))) {
    g_outputClosed = true;
    g_cliInterrupted = 1;
  }
}

void SplitNames(std::string src, std::vector<std::string>& pieces) {
  // Editors save name lists with a byte-order mark.
  if (src.rfind("\xEF\xBB\xBF", 0) == 0) src.erase(0, 3);
  size_t start = 0;
  while (start <= src.size()) {
    size_t semi = src.find(';', start);
    if (semi == std::string::npos) semi = src.size();
    std::string piece = TrimWhiteSpace(src.substr(start, semi - start));  // CR of CRLF included
    start = semi + 1;
    if (!piece.empty()) pieces.push_back(piece);
  }
}

// GBK names from the arguments or stdin, split at ";" and trimmed; empty
// pieces are dropped (a console user does not mean a song without a name).
// A name that GBK cannot hold is refused alone. Returns how many were.
int CollectNames(const std::vector<std::string>& positional, std::vector<std::string>& names) {
  std::vector<std::string> pieces;
  if (positional.empty()) {
    for (std::string line; std::getline(std::cin, line);) SplitNames(line, pieces);
  } else {
    for (const std::string& src : positional) SplitNames(src, pieces);
  }
  std::set<std::string> seen;
  int refused = 0;
  for (const std::string& piece : pieces) {
    std::string gbk;
    if (!Utf8ToGbk(piece, gbk)) {
      std::fprintf(stderr, "virelomp3-cli: %s\n", FormatCliText(txt::kCliBadName, piece).c_str());
      ++refused;
      continue;
    }
    gbk = CutGbk(gbk, sizeof(TaskEntry::m_szName) - 1);
    if (seen.insert(gbk).second) names.push_back(gbk);
  }
  return refused;
}

// Only an activation of this run counts: a queued entry may still carry the
// mark of an earlier run until the scheduler takes it.
bool GaveUp(const TaskEntry& e) {
  return std::string(e.m_szState, strnlen(e.m_szState, sizeof e.m_szState)) == txt::kStateRunning &&
         IsFailedEntry(e);
}

// Why the task's links failed, as the engine said it (GBK); empty when no
// connection said why. A failed download says more than a failed probe.
std::string FailureCause(const TaskDetails& d) {
  for (const Candidate& c : d.m_candidates)
    if (c.m_eVerdict == CandidateVerdict::kDownloadFailed && IsFailureCause(c.m_strFailure)) return c.m_strFailure;
  for (const Candidate& c : d.m_candidates)
    if (c.m_eVerdict == CandidateVerdict::kProbeFailed && !c.m_probe.m_strCause.empty()) return c.m_probe.m_strCause;
  return std::string();
}

std::string StatusOf(const Tracked& t, const ConsoleRow& row) {
  std::string status = row.cells[7];
  if (t.outcome == Outcome::Finished) status = T(txt::kCliDone);
  if (t.outcome == Outcome::Failed && !t.why.empty()) status = t.why;
  return status;
}

bool CheckHome() {
  if (!CheckHomeExists()) return false;
  const std::string folder = GetAppDirectory() + "/" + txt::kDownloadedFolder;
  mkdir(folder.c_str(), 0755);
  // Writing a file is the only sure test of a writable folder.
  const std::string probe = folder + "/.virelomp3-probe-" + std::to_string(getpid());
  FILE* f = std::fopen(probe.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", FormatCliText(txt::kCliNoDownloadFolder, folder).c_str());
    return false;
  }
  std::fclose(f);
  unlink(probe.c_str());
  return true;
}

void CatchGetSignals() {
  CatchEndingSignals({SIGINT, SIGTERM, SIGHUP});
  // A closed output shows up as EPIPE on the next write instead.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
}

int RunGet(const std::vector<std::string>& raw) {
  CliArgs args;
  std::string error;
  if (!ParseCliArgs(GetCommand(), raw, args, error)) return CliUsageError(GetCommand(), error);
  const bool updateCheck = !args.Has("--no-update-check");
  const bool startServer = !args.Has("--no-server");
  const int idleTimeoutSec = std::max(1, std::atoi(args.Value("--idle-timeout", "300").c_str()));
  ApplyHomeOption(args);
  if (!CheckHome()) return 2;
  // From here on an ending signal still saves the list and prints the summary.
  CatchGetSignals();
  std::vector<std::string> names;
  const int refused = CollectNames(args.positional, names);
  if (g_cliInterrupted) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", txt::kCliInterrupted);
    return 130;
  }
  if (names.empty()) {
    if (refused > 0) return 1;
    std::fprintf(stderr, "virelomp3-cli: %s\n", txt::kCliNoNames);
    return 2;
  }
  const bool given = args.Has("--link");
  if (given && names.size() != 1) return CliUsageError(GetCommand(), txt::kCliLinkOneName);

  CConsolePort port;
  for (const std::string& n : names) port.AddRow(n);
  AppOptions options;
  options.bCheckForUpdate = updateCheck;
  options.bAutoStartServer = startServer;
  options.pUiPort = &port;
  CDownloaderApp app(options);
  if (app.IsRefused()) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", FormatCliText(txt::kCliRunning, GetAppDirectory()).c_str());
    return 3;
  }
  app.SetViewName(kViewDowningList);

  if (given) {
    // The link is stored as the task's address: no search, as on a restart.
    std::string link;
    if (!Utf8ToGbk(args.Value("--link"), link) || app.UseLink(names[0], link) == -3) {
      std::fprintf(stderr, "virelomp3-cli: %s\n", FormatCliText(txt::kCliBadLink, args.Value("--link")).c_str());
      return 2;
    }
  }
  // AddTasks takes ten names a call.
  for (size_t i = 0; i < names.size() && !given; i += 10) {
    std::string text;
    for (size_t j = i; j < names.size() && j < i + 10; ++j) text += names[j] + ";";
    app.AddTasks(text);
  }
  std::vector<Tracked> tracked;
  for (const std::string& n : names) {
    Tracked t;
    t.name = n;
    TaskEntry e;
    if (!app.ReadEntry(n, e)) {
      t.outcome = Outcome::Failed;  // the table was full
      t.why = T(txt::kTooManyTasks);
    }
    tracked.push_back(t);
  }

  const bool tty = isatty(STDOUT_FILENO);
  ConsoleScreen screen;
  auto lastDraw = Clock::now() - std::chrono::seconds(1);
  for (;;) {
    size_t waiting = 0;
    bool changed = false;
    std::vector<std::string> activeNames = app.GetActiveNames();
    std::set<std::string> active(activeNames.begin(), activeNames.end());
    for (Tracked& t : tracked) {
      if (t.outcome != Outcome::Waiting) continue;
      if (!active.count(t.name)) t.queuedUntil = Clock::now();  // waiting for a slot is not idling
      ConsoleRow row = port.GetRow(t.name);
      TaskEntry e;
      bool inTable = app.ReadEntry(t.name, e);
      if (row.finished || !inTable) {
        t.outcome = Outcome::Finished;
        const TaskDetails d = app.GetTaskDetails(t.name);
        if (d.m_bFinished) t.saved = d.m_strEnding;
      } else if (GaveUp(e)) {
        t.outcome = Outcome::Failed;
        t.why = row.cells[7];
      } else if (Clock::now() - std::max(row.lastWrite, t.queuedUntil) > std::chrono::seconds(idleTimeoutSec)) {
        t.outcome = Outcome::Failed;  // no word from the task for too long
        t.why = row.cells[7];
        // Given up like a task out of retries, so "remove --failed" finds it.
        app.EditEntry(t.name, [](TaskEntry& entry) { SetEntryText(entry.m_szRetries, T(txt::kFailedMark)); });
      }
      if (t.outcome == Outcome::Failed) {
        const std::string cause = FailureCause(app.GetTaskDetails(t.name));
        if (!cause.empty() && t.why.find(cause) == std::string::npos) t.why += " (" + cause + ")";
        // Its slot goes to a name still queued.
        app.StopTask(t.name);
        app.WakeScheduler();
      }
      if (t.outcome != Outcome::Waiting) changed = true;
      else ++waiting;
    }

    int width = tty ? ConsoleScreen::TerminalWidth(STDOUT_FILENO) : 0;
    if (tty && width <= 0) width = 80;  // a terminal that does not say
    const bool resized = tty && width != screen.LastWidth();
    if (tty && (changed || resized || Clock::now() - lastDraw >= std::chrono::milliseconds(500))) {
      std::vector<std::string> lines;
      for (const Tracked& t : tracked) {
        const ConsoleRow row = port.GetRow(t.name);
        lines.push_back(LiveLine::Fitted(app, t.name, row, StatusOf(t, row), t.outcome == Outcome::Waiting, width));
      }
      Out(screen.Frame(lines, width));
      lastDraw = Clock::now();
    } else if (!tty) {
      // Plain output: a line whenever a task's status or percentage moves on.
      for (Tracked& t : tracked) {
        ConsoleRow row = port.GetRow(t.name);
        std::string key = row.cells[7] + "|" + row.cells[3] + "|" + std::to_string(static_cast<int>(t.outcome));
        if (key != t.shown) {
          t.shown = key;
          Out(LiveLine::Plain(app, t.name, row, StatusOf(t, row)) + "\n");
        }
      }
      CheckOutputPipe();
    }
    if (waiting == 0) break;
    if (g_cliInterrupted) {
      std::fprintf(stderr, "virelomp3-cli: %s\n", txt::kCliInterrupted);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  app.ExitSequence();
  int done = 0, failed = 0;
  for (const Tracked& t : tracked) {
    if (t.outcome == Outcome::Finished) ++done;
    else ++failed;
  }
  // Where each song went, for a user who wants to play it next.
  for (const Tracked& t : tracked)
    if (t.outcome == Outcome::Finished && !t.saved.empty()) Out(FormatCliText(txt::kCliSaved, t.saved) + "\n");
  char summary[128];
  std::snprintf(summary, sizeof summary, txt::kCliSummary, done, failed);
  std::fprintf(stderr, "%s\n", summary);
  if (g_cliInterrupted) return 130;
  return failed == 0 ? 0 : 1;
}

const bool registered = RegisterCliCommand(
    {"get", "get [--home DIR] [--no-update-check] [--no-server] [--idle-timeout SEC] [--link URL] [\"name1;name2;...\"]",
     txt::kCliGetSummary, RunGet, txt::kCliGetHelp,
     {{"--home", "DIR", txt::kCliHomeOption},
      {"--no-update-check", nullptr, txt::kCliNoUpdateCheckOption},
      {"--no-server", nullptr, txt::kCliNoServerOption},
      {"--idle-timeout", "SEC", txt::kCliIdleTimeoutOption},
      {"--link", "URL", txt::kCliLinkOption}}});

const CliCommand& GetCommand() { return *FindCliCommand("get"); }

}  // namespace
