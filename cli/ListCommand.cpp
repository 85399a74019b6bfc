// virelomp3-cli list: downing.dat as a table, read without changing it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/Command.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/record/TaskEntry.h"
#include "res/Texts.h"

namespace {

std::string Field(const char* f, size_t width) { return std::string(f, strnlen(f, width)); }

std::string Pad(const std::string& gbk, size_t width) {
  std::string s = GbkToUtf8(gbk);
  if (gbk.size() < width) s.append(width - gbk.size(), ' ');
  return s;
}

const CliCommand& ListCommand();

int RunList(const std::vector<std::string>& raw) {
  CliArgs args;
  std::string error;
  if (!ParseCliArgs(ListCommand(), raw, args, error)) return CliUsageError(ListCommand(), error);
  if (!args.positional.empty()) return CliUsageError(ListCommand(), FormatCliText(txt::kCliUnexpectedArgument, args.positional[0]));
  ApplyHomeOption(args);
  // A mistyped home is not an empty list.
  if (!CheckHomeExists()) return 2;
  const std::string path = GetAppDirectory() + "/downing.dat";
  // Read directly: opening it as a record file would create it.
  FILE* f = std::fopen(path.c_str(), "rb");
  std::vector<TaskEntry> records;
  if (f) {
    TaskEntry e;
    while (std::fread(&e, sizeof e, 1, f) == 1) records.push_back(e);
    std::fclose(f);
  } else if (errno != ENOENT) {
    std::perror(path.c_str());
    return 1;
  }
  if (records.empty()) {
    std::printf("%s\n", txt::kCliListEmpty);
    return 0;
  }
  static const size_t widths[11] = {24, 11, 11, 7, 9, 9, 10, 0, 5, 6, 4};
  const char* heads[11] = {txt::kDlColName,      txt::kDlColSize,  txt::kDlColDone,   txt::kDlColPercent,
                           txt::kDlColElapsed,   txt::kDlColRemaining, txt::kDlColSpeed, txt::kDlColUrl,
                           txt::kDlColBlocks,    txt::kDlColState, txt::kDlColRetries};
  // The address column is widest and goes last, so the others line up.
  static const int order[11] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 7};
  std::string head;
  for (int c : order) head += Pad(T(heads[c]), widths[c]) + " ";
  std::printf("%s\n", head.c_str());
  for (const TaskEntry& e : records) {
    std::string line;
    for (int c : order) line += Pad(Field(EntryColumn(e, c), c == 0 ? 51 : c == 7 ? 151 : 11), widths[c]) + " ";
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

const bool registered = RegisterCliCommand({"list", "list [--home DIR]", txt::kCliListSummary, RunList,
                                            txt::kCliListHelp, {{"--home", "DIR", txt::kCliHomeOption}}});

const CliCommand& ListCommand() { return *FindCliCommand("list"); }

}  // namespace
