// virelomp3-server: serves the demo library, the search engine and the
// update host on 127.0.0.1 until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/BuiltinHost.h"
#include "server/MusicServer.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: virelomp3-server [--root DIR] [--port N] [--log FILE]\n"
               "  --root DIR   data folder (songs/, mirrors.ini, update/update.ini);\n"
               "               default: server-root beside the program\n"
               "  --port N     port on 127.0.0.1 (default %d; 0 picks a free one)\n"
               "  --log FILE   append the request log to FILE instead of stderr\n",
               kBuiltinPort);
}

std::string DefaultRoot() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "server-root";
  self[n] = '\0';
  std::string dir = self;
  return dir.substr(0, dir.rfind('/')) + "/server-root";
}

bool ParsePort(const char* text, int& port) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (!*text || *end || value < 0 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  MusicServerOptions options;
  options.port = kBuiltinPort;
  options.root = DefaultRoot();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--root" && hasValue) {
      options.root = argv[++i];
    } else if (arg == "--port" && hasValue) {
      if (!ParsePort(argv[++i], options.port)) {
        std::fprintf(stderr, "virelomp3-server: bad port '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg == "--log" && hasValue) {
      options.logPath = argv[++i];
    } else {
      std::fprintf(stderr, "virelomp3-server: unknown or incomplete option '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }

  // Block the stop signals before any thread starts, so only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  CMusicServer server(options);
  std::string error;
  if (!server.Start(error)) {
    std::fprintf(stderr, "virelomp3-server: %s\n", error.c_str());
    return 1;
  }
  std::printf("virelomp3-server: listening on http://127.0.0.1:%d/ root %s\n", server.Port(), options.root.c_str());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stopSignals, &sig);
  server.Stop();
  return 0;
}
