#include <cstdio>
#include <cstring>
#include "cli/Command.h"

static std::vector<CliCommand>& Registry() {
  static std::vector<CliCommand> commands;
  return commands;
}

bool RegisterCliCommand(const CliCommand& command) {
  Registry().push_back(command);
  return true;
}

const std::vector<CliCommand>& CliCommands() { return Registry(); }

static void PrintUsage(FILE* out) {
  std::fprintf(out, "usage: virelomp3-cli COMMAND [ARGS]\n");
  for (const CliCommand& c : Registry()) std::fprintf(out, "  %s\n", c.usage);
}

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help")) {
    PrintUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const CliCommand& c : Registry()) {
    if (!std::strcmp(c.name, argv[1])) return c.run(args);
  }
  std::fprintf(stderr, "virelomp3-cli: unknown command '%s'\n", argv[1]);
  PrintUsage(stderr);
  return 2;
}
