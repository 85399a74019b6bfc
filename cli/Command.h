#pragma once
// Sub-commands of virelomp3-cli register themselves, so each lives in its own
// file and main only dispatches. A command lists its options here: main
// answers "help", "COMMAND --help" and unknown options from that table, so a
// new option is one line in the command's registration.
#include <atomic>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

struct CliOption {
  const char* name;   // "--blocks"
  const char* value;  // name of its value ("N"), or nullptr for a switch
  const char* help;   // one line
};

struct CliCommand {
  const char* name;
  const char* usage;    // the command's synopsis: its name and options
  const char* summary;  // what it does, in a few words beside the synopsis
  int (*run)(const std::vector<std::string>& args);  // args after the command name
  // What "help NAME" and "NAME --help" print under the usage line.
  const char* help = nullptr;
  // Every option the command takes. When set, main refuses any other
  // option (exit 2) before the command runs.
  std::vector<CliOption> options;
  // Main also refuses the command when it has no option table; false lets
  // a command that checks its own arguments through.
  bool checked = true;
};

// Called from a static initialiser in each command's file.
bool RegisterCliCommand(const CliCommand& command);
const std::vector<CliCommand>& CliCommands();
const CliCommand* FindCliCommand(const std::string& name);

// Arguments split by a command's option table. Options may be written
// "--opt VALUE" or "--opt=VALUE"; "--" ends the options.
struct CliArgs {
  std::set<std::string> switches;
  std::map<std::string, std::string> values;  // the last one given wins
  std::vector<std::string> positional;
  bool Has(const std::string& name) const { return switches.count(name) || values.count(name); }
  std::string Value(const std::string& name, const std::string& fallback = std::string()) const;
};

// False, with the reason in `error`, on an option the table does not hold
// or one that lacks its value.
bool ParseCliArgs(const CliCommand& command, const std::vector<std::string>& args, CliArgs& out,
                  std::string& error);

// The usage lines of every command (stdout for help, stderr for mistakes).
void PrintCliUsage(FILE* out);
// The usage, help text and options of one command.
void PrintCommandHelp(const CliCommand& command, FILE* out);
// "virelomp3-cli NAME: error" and the command's usage on stderr; returns 2.
int CliUsageError(const CliCommand& command, const std::string& error);

// --- the program directory --------------------------------------------------

// Applies "--home DIR" (when given) as the program directory.
void ApplyHomeOption(const CliArgs& args);
// False, after "程序目录不存在: <dir>" on stderr, when the program directory
// is not a folder.
bool CheckHomeExists();
// "%s" of a UTF-8 text of the table filled with arg.
std::string FormatCliText(const char* utf8, const std::string& arg);
// Each "%s" in turn filled with the next of args; what an arg holds is
// never read as a place to fill.
std::string FillCliText(const char* utf8, std::initializer_list<std::string> args);

// --- ending signals ------------------------------------------------------------

// Set by the handler CatchEndingSignals installs. The handler may run on any
// thread that does not block the signal, so the flag is an atomic (lock-free,
// so a handler may touch it), not a sig_atomic_t, which only the interrupted
// thread itself may read safely.
extern std::atomic<int> g_cliInterrupted;
// From now on these signals set g_cliInterrupted instead of ending the
// program, so a command can save its work and leave with status 130.
void CatchEndingSignals(std::initializer_list<int> signals);
