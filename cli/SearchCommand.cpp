// virelomp3-cli search [--tsv] [--home DIR] [--no-server] "name"
// Searches and probes as a task would and prints the candidates, ranked,
// without downloading. It takes no lock and writes nothing, so it can run
// beside a running copy.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "app/BundledServer.h"
#include "app/IniFile.h"
#include "app/SettingsFile.h"
#include "cli/Command.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/record/TaskEntry.h"
#include "engine/TextRules.h"
#include "res/Texts.h"
#include "task/CandidateList.h"
#include "task/DownloadTask.h"

namespace {

// A task's host with no table behind it: the task finds no entry (so it
// searches), its writes go nowhere, its status texts go to stderr on a
// terminal, and its candidate reports fill the list.
class SearchHost : public ITaskHost {
 public:
  SearchHost(const TaskSettings& settings, bool showStatus) : m_settings(settings), m_bShowStatus(showStatus) {}

  TaskSettings GetSettings() override { return m_settings; }
  bool ReadEntry(const std::string&, TaskEntry&) override { return false; }
  bool EditEntry(const std::string&, const std::function<void(TaskEntry&)>&) override { return false; }
  void SaveTaskList() override {}
  void RemoveTask(const std::string&) override {}
  bool HasQueuedTasks() override { return false; }
  void WakeScheduler() override {}
  bool IsListShown() override { return true; }
  void SetListText(const std::string&, int column, const std::string& text) override {
    std::lock_guard<std::mutex> g(m_lock);
    if (column != 7) return;
    m_strStatus = text;
    if (m_bShowStatus) std::fprintf(stderr, "\x1b[2K%s\r", GbkToUtf8(text).c_str());
  }
  void DeleteListRow(const std::string&) override {}
  // As for get and the window: the bundled server when the built-in engine
  // is asked and nothing answers; it ends with the command.
  std::string BeforeSearch(const std::string& url, const std::function<bool()>& cancelled) override {
    if (m_bStartServer) m_server.EnsureFor(url, cancelled);
    return m_server.AddressFor(url);
  }
  bool m_bStartServer = true;

  void OnCandidatesFound(const std::string&, const std::vector<std::string>& links) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_list.Reset(links);
  }
  void OnCandidateProbed(const std::string&, const std::string& link, const ProbeFigures& probe,
                         CandidateVerdict verdict) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_list.SetProbed(link, probe, verdict);
  }
  void OnCandidateAudio(const std::string&, const std::string& link, const AudioFacts& audio) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_list.SetServerAudio(link, audio);
  }
  void OnCandidateChosen(const std::string&, const std::string& link, ChosenReason why) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_list.SetChosen(link, why);
  }

  CCandidateList List() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_list;
  }
  std::string Status() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_strStatus;
  }

 private:
  CBundledServer m_server;
  const TaskSettings m_settings;
  const bool m_bShowStatus;
  std::mutex m_lock;
  CCandidateList m_list;
  std::string m_strStatus;
};

// One TSV field: the line and field separators cannot occur inside.
std::string Field(std::string s) {
  for (char& c : s)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return s;
}

// Pads a UTF-8 text made from GBK to width terminal columns (two bytes of
// GBK are one character two columns wide).
std::string Pad(const std::string& gbk, size_t width) {
  std::string s = GbkToUtf8(gbk);
  if (gbk.size() < width) s.append(width - gbk.size(), ' ');
  return s;
}

void PrintTsv(const std::vector<Candidate>& ranked) {
  int rank = 0;
  for (const Candidate& c : ranked) {
    const ProbeFigures& p = c.m_probe;
    // New columns go at the end: scripts read the first eight by position.
    std::printf("%d\t%d\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", c.m_eVerdict == CandidateVerdict::kChosen ? 1 : 0, ++rank,
                Field(GbkToUtf8(c.m_strAddress)).c_str(), p.m_nLength >= 0 ? std::to_string(p.m_nLength).c_str() : "",
                c.m_bProbed && p.m_nTimeMs >= 0 ? std::to_string(p.m_nTimeMs).c_str() : "",
                p.m_bRanges ? "yes" : "no", Field(p.m_strContentType).c_str(), Field(GbkToUtf8(VerdictText(c))).c_str(),
                BitrateText(c.Audio()).c_str(), LengthText(c.Audio()).c_str());
  }
}

void PrintTable(const std::vector<Candidate>& ranked, ChosenReason why) {
  std::printf("%s\n", txt::kCliSearchHeader);
  int rank = 0;
  for (const Candidate& c : ranked) {
    const ProbeFigures& p = c.m_probe;
    const std::string size = p.m_nLength >= 0 ? std::to_string(p.m_nLength / 1024) : "-";
    const std::string time = c.m_bProbed && p.m_nTimeMs >= 0 ? std::to_string(p.m_nTimeMs) : "-";
    const std::string ranges = !c.m_bProbed ? "-" : p.m_bRanges ? T(txt::kRangesYes) : T(txt::kRangesNo);
    const std::string rate = BitrateText(c.Audio()), length = LengthText(c.Audio());
    std::printf("%-5d %s %9s %9s  %s %-11s %6s  %s\n", ++rank, Pad(VerdictText(c), 20).c_str(), size.c_str(),
                time.c_str(), Pad(ranges, 6).c_str(), rate.empty() ? "-" : rate.c_str(),
                length.empty() ? "-" : length.c_str(), GbkToUtf8(c.m_strAddress).c_str());
  }
  if (why != ChosenReason::kNone)
    std::printf("%s\n", FormatCliText(txt::kCliSearchReason,
                                      GbkToUtf8(ChosenReasonText(why, ranked.empty() ? AudioFacts() : ranked[0].Audio())))
                             .c_str());
}

const CliCommand& SearchCommand();

int RunSearch(const std::vector<std::string>& raw) {
  CliArgs args;
  std::string error;
  if (!ParseCliArgs(SearchCommand(), raw, args, error)) return CliUsageError(SearchCommand(), error);
  if (args.positional.size() > 1) return CliUsageError(SearchCommand(), txt::kCliSearchOneName);
  const bool tsv = args.Has("--tsv");
  ApplyHomeOption(args);
  if (!CheckHomeExists()) return 2;
  std::string gbk;
  const std::string typed = args.positional.empty() ? std::string() : TrimWhiteSpace(args.positional[0]);
  if (typed.empty() || !Utf8ToGbk(typed, gbk)) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", txt::kCliSearchNoName);
    return 2;
  }
  // The name as a task would hold it.
  const std::string name = CutGbk(gbk, sizeof(TaskEntry::m_szName) - 1);

  // The application's own defaults under MP3.ini, as a task would see them.
  TaskSettings defaults;
  defaults.m_nBlocks = 2;
  const TaskSettings settings = ReadSettingsFile(GetIniFilePath(), defaults);
  SearchHost host(settings, !tsv && isatty(STDERR_FILENO));
  host.m_bStartServer =
      !args.Has("--no-server") && IniToInt(IniRead(GetIniFilePath(), "Server", "AutoStart", "1", 10)) != 0;
  int chosen;
  {
    CDownloadTask task(host, name, settings);
    chosen = task.SearchAndChoose();
  }
  if (!tsv && isatty(STDERR_FILENO)) std::fprintf(stderr, "\x1b[2K");

  const CCandidateList list = host.List();
  if (list.Empty()) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", GbkToUtf8(host.Status()).c_str());
    return 1;
  }
  if (tsv) PrintTsv(list.Ranked());
  else PrintTable(list.Ranked(), list.Reason());
  if (chosen < 0 || !list.HasUsable()) {
    if (!tsv) std::fprintf(stderr, "virelomp3-cli: %s\n", txt::kCliSearchNoUsable);
    return 1;
  }
  return 0;
}

const bool registered = RegisterCliCommand(
    {"search", "search [--tsv] [--home DIR] [--no-server] \"name\"", txt::kCliSearchSummary, RunSearch,
     txt::kCliSearchHelp,
     {{"--tsv", nullptr, txt::kCliTsvOption},
      {"--home", "DIR", txt::kCliHomeOption},
      {"--no-server", nullptr, txt::kCliNoServerOption}}});

const CliCommand& SearchCommand() { return *FindCliCommand("search"); }

}  // namespace
