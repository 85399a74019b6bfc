// virelomp3-cli remove ["name1;name2"] [--failed] [--all]: tasks leave the
// list together with their files, as "删除下载" does in the window.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/DownloaderApp.h"
#include "app/TaskFiles.h"
#include "cli/Command.h"
#include "cli/ConsolePort.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/TextRules.h"
#include "res/Texts.h"
#include "task/DownloadTask.h"

namespace {

const CliCommand& RemoveCommand();

void Say(const char* utf8, const std::string& gbkName, FILE* out) {
  std::fprintf(out, "%s\n", FormatCliText(utf8, GbkToUtf8(gbkName)).c_str());
}

int RunRemove(const std::vector<std::string>& raw) {
  CliArgs args;
  std::string error;
  if (!ParseCliArgs(RemoveCommand(), raw, args, error)) return CliUsageError(RemoveCommand(), error);
  const bool all = args.Has("--all"), failed = args.Has("--failed");
  std::vector<std::string> typed;  // UTF-8, as given
  for (const std::string& src : args.positional) {
    size_t start = 0;
    while (start <= src.size()) {
      size_t semi = src.find(';', start);
      if (semi == std::string::npos) semi = src.size();
      std::string piece = TrimWhiteSpace(src.substr(start, semi - start));
      start = semi + 1;
      if (!piece.empty()) typed.push_back(piece);
    }
  }
  if (!all && !failed && typed.empty()) return CliUsageError(RemoveCommand(), txt::kCliRemoveWhat);
  ApplyHomeOption(args);
  if (!CheckHomeExists()) return 2;

  CConsolePort port;
  AppOptions options;
  options.bCheckForUpdate = false;
  options.bStartScheduler = false;  // nothing starts while we remove
  options.pUiPort = &port;
  CDownloaderApp app(options);
  if (app.IsRefused()) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", FormatCliText(txt::kCliRunning, GetAppDirectory()).c_str());
    return 3;
  }

  std::vector<std::string> doomed;
  std::set<std::string> chosen;
  auto choose = [&](const std::string& name) {
    if (chosen.insert(name).second) doomed.push_back(name);
  };
  for (const TaskEntry& e : app.GetEntriesInSlotOrder()) {
    if (all || (failed && IsFailedEntry(e))) choose(std::string(e.m_szName, strnlen(e.m_szName, sizeof e.m_szName)));
  }
  int missing = 0;
  for (const std::string& name : typed) {
    std::string gbk;
    TaskEntry e;
    // Cut as the table cuts a name when it is added.
    if (Utf8ToGbk(name, gbk) && app.ReadEntry(CutGbk(gbk, sizeof e.m_szName - 1), e)) {
      choose(CutGbk(gbk, sizeof e.m_szName - 1));
    } else {
      std::fprintf(stderr, "virelomp3-cli: %s\n", FormatCliText(txt::kCliNotInList, name).c_str());
      ++missing;
    }
  }
  for (const std::string& name : doomed) app.RemoveTask(name);
  // The save has said why it failed; the files stay with the tasks that
  // downing.dat still lists.
  if (!app.SaveTaskListChecked()) return 3;
  // Nothing runs here, but the files go only once no task can write them.
  app.WaitForReaper();
  DeleteTaskFiles(doomed, app.GetTaskNames());
  for (const std::string& name : doomed) Say(txt::kCliRemoved, name, stdout);
  return missing > 0 ? 1 : 0;
}

const bool registered = RegisterCliCommand(
    {"remove", "remove [--home DIR] [--failed] [--all] [\"name1;name2;...\"]", txt::kCliRemoveSummary, RunRemove,
     txt::kCliRemoveHelp,
     {{"--home", "DIR", txt::kCliHomeOption},
      {"--failed", nullptr, txt::kCliFailedOption},
      {"--all", nullptr, txt::kCliAllOption}}});

const CliCommand& RemoveCommand() { return *FindCliCommand("remove"); }

}  // namespace
