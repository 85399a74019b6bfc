#pragma once
// Sub-commands of virelomp3-cli register themselves, so each lives in its own
// file and main only dispatches.
#include <string>
#include <vector>

struct CliCommand {
  const char* name;
  const char* usage;  // one line, shown by "virelomp3-cli help"
  int (*run)(const std::vector<std::string>& args);  // args after the command name
};

// Called from a static initialiser in each command's file.
bool RegisterCliCommand(const CliCommand& command);
const std::vector<CliCommand>& CliCommands();
