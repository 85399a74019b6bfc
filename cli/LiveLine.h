#pragma once
// One song's line in the console's get: its row's figures, the bitrate of
// the link it went with and, while it downloads, its block bars. Redrawn
// twice a second, so it reads from the application only the blocks and the
// chosen link's audio, never a copy of the candidate list.
#include <string>

#include "cli/ConsolePort.h"

class CDownloaderApp;

class LiveLine {
 public:
  // The line for a terminal width columns wide: the figures and the bars
  // keep their places, the name gives way (down to a few characters) and
  // the status (GBK), last, is cut to what is left.
  static std::string Fitted(CDownloaderApp& app, const std::string& name, const ConsoleRow& row,
                            const std::string& status, bool running, int width);
  // The line for plain output, logged rather than redrawn: the whole status.
  static std::string Plain(CDownloaderApp& app, const std::string& name, const ConsoleRow& row,
                           const std::string& status);
};
