// virelomp3-cli --home DIR COMMAND ...: the program directory for any
// command, set before the command makes its application object.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "cli/Command.h"

namespace {

int RunWithHome(const std::vector<std::string>& args) {
  if (args.size() < 2) {
    std::fprintf(stderr, "usage: virelomp3-cli --home DIR COMMAND [ARGS]\n");
    return 2;
  }
  setenv("VIRELOMP3_HOME", args[0].c_str(), 1);
  for (const CliCommand& c : CliCommands()) {
    if (args[1] == c.name && std::strcmp(c.name, "--home") != 0)
      return c.run(std::vector<std::string>(args.begin() + 2, args.end()));
  }
  std::fprintf(stderr, "virelomp3-cli: unknown command '%s'\n", args[1].c_str());
  return 2;
}

const bool registered =
    RegisterCliCommand({"--home", "--home DIR COMMAND [ARGS]  use DIR as the program directory", RunWithHome});

}  // namespace
