#include "cli/Command.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "app/ProgramDirectorySetup.h"
#include "engine/Common.h"
#include "res/Texts.h"

namespace {

std::vector<CliCommand>& Registry() {
  static std::vector<CliCommand> commands;
  return commands;
}

const CliOption* FindOption(const CliCommand& command, const std::string& name) {
  for (const CliOption& o : command.options)
    if (name == o.name) return &o;
  return nullptr;
}

}  // namespace

bool RegisterCliCommand(const CliCommand& command) {
  Registry().push_back(command);
  return true;
}

const std::vector<CliCommand>& CliCommands() { return Registry(); }

const CliCommand* FindCliCommand(const std::string& name) {
  for (const CliCommand& c : Registry())
    if (name == c.name) return &c;
  return nullptr;
}

std::string CliArgs::Value(const std::string& name, const std::string& fallback) const {
  auto it = values.find(name);
  return it == values.end() ? fallback : it->second;
}

bool ParseCliArgs(const CliCommand& command, const std::vector<std::string>& args, CliArgs& out,
                  std::string& error) {
  out = CliArgs();
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // A lone "-" is a name, as is everything after "--".
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      out.positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    const size_t eq = a.find('=');
    const std::string name = a.substr(0, eq);
    const CliOption* o = FindOption(command, name);
    if (!o) {
      error = FormatCliText(txt::kCliUnknownOption, name);
      return false;
    }
    if (!o->value) {
      if (eq != std::string::npos) {
        error = FormatCliText(txt::kCliTakesNoValue, name);
        return false;
      }
      out.switches.insert(name);
    } else if (eq != std::string::npos) {
      out.values[name] = a.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      out.values[name] = args[++i];
    } else {
      error = FillCliText(txt::kCliNeedsValue, {name, o->value});
      return false;
    }
  }
  return true;
}

void PrintCliUsage(FILE* out) {
  std::fprintf(out,
               "%s virelomp3-cli [--home DIR] COMMAND [ARGS]\n"
               "      virelomp3-cli help [COMMAND]\n"
               "      virelomp3-cli COMMAND --help\n"
               "%s\n",
               txt::kCliUsageWord, txt::kCliCommandsWord);
  // The synopses are long: each what-it-does goes below its own, so an
  // 80-column terminal wraps nothing but the longest synopsis.
  for (const CliCommand& c : Registry()) std::fprintf(out, "  %s\n      %s\n", c.usage, c.summary);
  std::fprintf(out, "  help [COMMAND]\n      %s\n%s\n", txt::kCliHelpHelp, txt::kCliHomeNote);
}

void PrintCommandHelp(const CliCommand& command, FILE* out) {
  std::fprintf(out, "%s virelomp3-cli %s\n%s\n", txt::kCliUsageWord, command.usage, command.summary);
  if (command.help) std::fprintf(out, "\n%s\n", command.help);
  if (command.options.empty()) return;
  std::fprintf(out, "\n%s\n", txt::kCliOptionsWord);
  for (const CliOption& o : command.options) {
    std::string head = o.name;
    if (o.value) head += std::string(" ") + o.value;
    std::fprintf(out, "  %-22s %s\n", head.c_str(), o.help);
  }
  std::fprintf(out, "  %-22s %s\n", "--help", txt::kCliHelpOption);
}

int CliUsageError(const CliCommand& command, const std::string& error) {
  std::fprintf(stderr, "virelomp3-cli %s: %s\n%s virelomp3-cli %s\n", command.name, error.c_str(),
               txt::kCliUsageWord, command.usage);
  return 2;
}

void ApplyHomeOption(const CliArgs& args) {
  if (args.values.count("--home")) setenv("VIRELOMP3_HOME", args.Value("--home").c_str(), 1);
}

bool CheckHomeExists() {
  PrepareProgramDirectory();  // installed: the user's own program directory, seeded
  const std::string home = GetAppDirectory();
  struct stat st;
  if (!home.empty() && stat(home.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  std::fprintf(stderr, "virelomp3-cli: %s\n", FormatCliText(txt::kCliNoHome, home).c_str());
  return false;
}

std::string FormatCliText(const char* utf8, const std::string& arg) {
  std::string s = utf8;
  const size_t at = s.find("%s");
  if (at != std::string::npos) s.replace(at, 2, arg);
  return s;
}

std::string FillCliText(const char* utf8, std::initializer_list<std::string> args) {
  std::string s = utf8;
  size_t from = 0;
  for (const std::string& arg : args) {
    const size_t at = s.find("%s", from);
    if (at == std::string::npos) break;
    s.replace(at, 2, arg);
    from = at + arg.size();
  }
  return s;
}

std::atomic<int> g_cliInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

namespace {
void OnEndingSignal(int) { g_cliInterrupted = 1; }
}  // namespace

void CatchEndingSignals(std::initializer_list<int> signals) {
  struct sigaction sa = {};
  sa.sa_handler = OnEndingSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : signals) sigaction(sig, &sa, nullptr);
}
