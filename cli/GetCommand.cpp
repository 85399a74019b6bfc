// virelomp3-cli get [--no-update-check] [--idle-timeout SEC] ["name1;name2;..."]
// The whole road without windows: the application core with a console port.
// Names come from the arguments, else one or more a line from stdin.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloaderApp.h"
#include "cli/Command.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "res/Texts.h"
#include "task/DownloadTask.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

using Clock = std::chrono::steady_clock;

struct Row {
  std::string cells[11];  // GBK, as the list would show them
  bool finished = false;  // the task removed its row on success
  Clock::time_point lastWrite = Clock::now();
};

// Message boxes become lines on stderr; list writes fill rows that the
// command prints. Worker threads call in; nothing here waits for long.
class ConsolePort : public IUiPort {
 public:
  void MessageBox(const std::string& text, const std::string& caption) override {
    std::string line = GbkToUtf8(caption.empty() ? text : caption + ": " + text);
    std::lock_guard<std::mutex> lk(m_lock);
    std::fprintf(stderr, "! %s\n", line.c_str());
  }
  void SetListText(const std::string& name, int column, const std::string& text) override {
    if (column < 0 || column > 10) return;
    std::lock_guard<std::mutex> lk(m_lock);
    auto it = m_rows.find(name);
    if (it == m_rows.end() || it->second.finished) return;  // no row: skipped, as in the list
    it->second.cells[column] = text;
    it->second.lastWrite = Clock::now();
  }
  void DeleteListRow(const std::string& name) override {
    std::lock_guard<std::mutex> lk(m_lock);
    auto it = m_rows.find(name);
    if (it != m_rows.end()) it->second.finished = true;
  }
  void AddRow(const std::string& name) {
    std::lock_guard<std::mutex> lk(m_lock);
    Row& row = m_rows[name];
    row = Row();
    row.cells[0] = name;
  }
  Row GetRow(const std::string& name) {
    std::lock_guard<std::mutex> lk(m_lock);
    return m_rows[name];
  }

 private:
  std::mutex m_lock;
  std::map<std::string, Row> m_rows;
};

enum class Outcome { Waiting, Finished, Failed };

struct Tracked {
  std::string name;  // GBK, cut as the table holds it
  Outcome outcome = Outcome::Waiting;
  std::string why;   // GBK: the text it failed on
  std::string shown;  // last line printed (plain output)
  Clock::time_point queuedUntil = Clock::now();  // last time it was seen without a slot
};


// UTF-8 names from the arguments or stdin, split at ";" and trimmed; empty
// pieces are dropped (a console user does not mean a song without a name).
bool CollectNames(const std::vector<std::string>& positional, std::vector<std::string>& names) {
  std::vector<std::string> sources = positional;
  if (sources.empty()) {
    for (std::string line; std::getline(std::cin, line);) sources.push_back(line);
  }
  std::set<std::string> seen;
  for (const std::string& src : sources) {
    size_t start = 0;
    while (start <= src.size()) {
      size_t semi = src.find(';', start);
      if (semi == std::string::npos) semi = src.size();
      std::string piece = TrimBlanks(src.substr(start, semi - start));
      start = semi + 1;
      if (piece.empty()) continue;
      std::string gbk;
      if (!Utf8ToGbk(piece, gbk)) {
        std::fprintf(stderr, "virelomp3-cli: not a valid UTF-8 name: %s\n", piece.c_str());
        return false;
      }
      gbk = CutGbk(gbk, sizeof(TaskEntry::m_szName) - 1);
      if (seen.insert(gbk).second) names.push_back(gbk);
    }
  }
  return true;
}

// Only an activation of this run counts: a queued entry may still carry the
// mark of an earlier run until the scheduler takes it.
bool GaveUp(const TaskEntry& e) {
  return std::string(e.m_szState, strnlen(e.m_szState, sizeof e.m_szState)) == txt::kStateRunning &&
         IsFailedEntry(e);
}

std::string Cell(const std::string& gbk, size_t width) {
  std::string s = GbkToUtf8(gbk);
  // Pads by bytes of the GBK text: a Chinese character is two columns wide
  // on a terminal, as it is two bytes in GBK.
  size_t cols = gbk.size();
  if (cols < width) s.append(width - cols, ' ');
  return s;
}

std::string Line(const Tracked& t, const Row& row) {
  std::string status = row.cells[7];
  if (t.outcome == Outcome::Finished) status = T(txt::kCliDone);
  if (t.outcome == Outcome::Failed && !t.why.empty()) status = t.why;
  return Cell(t.name, 24) + " " + Cell(row.cells[1], 11) + " " + Cell(row.cells[3], 5) + " " +
         Cell(row.cells[6], 10) + " " + Cell(row.cells[5], 9) + " " + GbkToUtf8(status);
}

std::string Format(const char* utf8, const std::string& arg) {
  std::string s = utf8;
  size_t at = s.find("%s");
  if (at != std::string::npos) s.replace(at, 2, arg);
  return s;
}

bool CheckHome() {
  const std::string home = GetAppDirectory();
  struct stat st;
  if (home.empty() || stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", Format(txt::kCliNoHome, home).c_str());
    return false;
  }
  const std::string folder = home + "/" + txt::kDownloadedFolder;
  mkdir(folder.c_str(), 0755);
  // Writing a file is the only sure test of a writable folder.
  const std::string probe = folder + "/.virelomp3-probe-" + std::to_string(getpid());
  FILE* f = std::fopen(probe.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", Format(txt::kCliNoDownloadFolder, folder).c_str());
    return false;
  }
  std::fclose(f);
  unlink(probe.c_str());
  return true;
}

int RunGet(const std::vector<std::string>& args) {
  bool updateCheck = true;
  int idleTimeoutSec = 300;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--no-update-check") {
      updateCheck = false;
    } else if (args[i] == "--home" && i + 1 < args.size()) {
      setenv("VIRELOMP3_HOME", args[++i].c_str(), 1);
    } else if (args[i] == "--idle-timeout" && i + 1 < args.size()) {
      idleTimeoutSec = std::max(1, std::atoi(args[++i].c_str()));
    } else if (args[i].rfind("--", 0) == 0) {
      std::fprintf(stderr, "virelomp3-cli get: unknown option %s\n", args[i].c_str());
      return 2;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (!CheckHome()) return 2;
  std::vector<std::string> names;
  if (!CollectNames(positional, names)) return 2;
  if (names.empty()) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", txt::kCliNoNames);
    return 2;
  }

  ConsolePort port;
  for (const std::string& n : names) port.AddRow(n);
  AppOptions options;
  options.bCheckForUpdate = updateCheck;
  options.pUiPort = &port;
  CDownloaderApp app(options);
  if (app.IsRefused()) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", Format(txt::kCliRunning, GetAppDirectory()).c_str());
    return 3;
  }
  app.SetViewName(kViewDowningList);

  struct sigaction sa = {};
  sa.sa_handler = OnInterrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  // AddTasks takes ten names a call.
  for (size_t i = 0; i < names.size(); i += 10) {
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
  size_t drawn = 0;
  auto lastDraw = Clock::now() - std::chrono::seconds(1);
  for (;;) {
    size_t waiting = 0;
    bool changed = false;
    std::vector<std::string> activeNames = app.GetActiveNames();
    std::set<std::string> active(activeNames.begin(), activeNames.end());
    for (Tracked& t : tracked) {
      if (t.outcome != Outcome::Waiting) continue;
      if (!active.count(t.name)) t.queuedUntil = Clock::now();  // waiting for a slot is not idling
      Row row = port.GetRow(t.name);
      TaskEntry e;
      bool inTable = app.ReadEntry(t.name, e);
      if (row.finished || !inTable) {
        t.outcome = Outcome::Finished;
      } else if (GaveUp(e)) {
        t.outcome = Outcome::Failed;
        t.why = row.cells[7];
      } else if (Clock::now() - std::max(row.lastWrite, t.queuedUntil) > std::chrono::seconds(idleTimeoutSec)) {
        t.outcome = Outcome::Failed;  // no word from the task for too long
        t.why = row.cells[7];
      }
      if (t.outcome == Outcome::Failed) {
        // Its slot goes to a name still queued.
        app.StopTask(t.name);
        app.WakeScheduler();
      }
      if (t.outcome != Outcome::Waiting) changed = true;
      else ++waiting;
    }

    if (tty && (changed || Clock::now() - lastDraw >= std::chrono::milliseconds(500))) {
      if (drawn) std::printf("\x1b[%zuA", drawn);
      for (const Tracked& t : tracked) std::printf("\x1b[2K%s\n", Line(t, port.GetRow(t.name)).c_str());
      drawn = tracked.size();
      std::fflush(stdout);
      lastDraw = Clock::now();
    } else if (!tty) {
      // Plain output: a line whenever a task's status or percentage moves on.
      for (Tracked& t : tracked) {
        Row row = port.GetRow(t.name);
        std::string key = row.cells[7] + "|" + row.cells[3] + "|" + std::to_string(static_cast<int>(t.outcome));
        if (key != t.shown) {
          t.shown = key;
          std::string line = Line(t, row);
          while (!line.empty() && line.back() == ' ') line.pop_back();
          std::printf("%s\n", line.c_str());
        }
      }
      std::fflush(stdout);
    }
    if (waiting == 0) break;
    if (g_interrupted) {
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
  char summary[128];
  std::snprintf(summary, sizeof summary, txt::kCliSummary, done, failed);
  std::fprintf(stderr, "%s\n", summary);
  if (g_interrupted) return 130;
  return failed == 0 ? 0 : 1;
}

const bool registered = RegisterCliCommand(
    {"get", "get [--no-update-check] [--idle-timeout SEC] [\"name1;name2;...\"]  download songs (names from stdin when none)",
     RunGet});

}  // namespace
