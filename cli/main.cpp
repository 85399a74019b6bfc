// Dispatch only: the commands, their options and their help live in the
// table that each *Command.cpp fills.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/Command.h"
#include "res/Texts.h"

namespace {

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h"; }

int Help(const std::vector<std::string>& rest) {
  if (rest.empty()) {
    PrintCliUsage(stdout);
    for (const CliCommand& c : CliCommands()) {
      std::printf("\n");
      PrintCommandHelp(c, stdout);
    }
    return 0;
  }
  if (const CliCommand* c = FindCliCommand(rest[0])) {
    PrintCommandHelp(*c, stdout);
    return 0;
  }
  std::fprintf(stderr, "virelomp3-cli: %s\n", FormatCliText(txt::kCliUnknownCommand, rest[0]).c_str());
  PrintCliUsage(stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // "--home DIR" before the command applies to any command.
  while (!args.empty() && (args[0] == "--home" || args[0].rfind("--home=", 0) == 0)) {
    std::string dir;
    if (args[0] == "--home") {
      if (args.size() < 2) break;
      dir = args[1];
      args.erase(args.begin(), args.begin() + 2);
    } else {
      dir = args[0].substr(7);
      args.erase(args.begin());
    }
    setenv("VIRELOMP3_HOME", dir.c_str(), 1);
  }
  if (args.empty() || args[0] == "--home") {
    PrintCliUsage(stderr);
    return 2;
  }
  if (args[0] == "help" || IsHelp(args[0])) return Help(std::vector<std::string>(args.begin() + 1, args.end()));

  const CliCommand* command = FindCliCommand(args[0]);
  if (!command) {
    std::fprintf(stderr, "virelomp3-cli: %s\n", FormatCliText(txt::kCliUnknownCommand, args[0]).c_str());
    PrintCliUsage(stderr);
    return 2;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const std::string& a : rest) {
    if (a == "--") break;
    if (IsHelp(a)) {
      PrintCommandHelp(*command, stdout);
      return 0;
    }
  }
  if (command->checked) {
    CliArgs parsed;
    std::string error;
    if (!ParseCliArgs(*command, rest, parsed, error)) return CliUsageError(*command, error);
  }
  return command->run(rest);
}
