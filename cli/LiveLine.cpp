#include "cli/LiveLine.h"

#include <algorithm>

#include "app/DownloaderApp.h"
#include "cli/BlockBars.h"
#include "cli/ConsoleScreen.h"
#include "cli/TaskLine.h"
#include "engine/Gbk.h"

std::string LiveLine::Fitted(CDownloaderApp& app, const std::string& name, const ConsoleRow& row,
                             const std::string& status, bool running, int width) {
  using S = ConsoleScreen;
  std::string rest = S::Pad(GbkToUtf8(row.cells[1]), 11) + " " + S::Pad(GbkToUtf8(row.cells[3]), 5) + " " +
                     S::Pad(GbkToUtf8(row.cells[6]), 10) + " " + S::Pad(GbkToUtf8(row.cells[5]), 9) + " ";
  const std::string bitrate = BitrateText(app.GetChosenAudio(name));
  if (!bitrate.empty()) rest += bitrate + " ";
  const std::string bars = running ? BlockBars(app.GetTaskBlocks(name)) : "";
  if (!bars.empty()) rest += bars + " ";
  rest += GbkToUtf8(status);
  const int nameCols = std::clamp(width - 2 - S::DisplayWidth(rest), 12, 24);
  return S::Pad(GbkToUtf8(name), nameCols) + " " + rest;
}

std::string LiveLine::Plain(CDownloaderApp& app, const std::string& name, const ConsoleRow& row,
                            const std::string& status) {
  std::string line = TaskLine({name, row.cells[1], row.cells[3], row.cells[6], row.cells[5],
                               BitrateText(app.GetChosenAudio(name)), ""}) +
                     GbkToUtf8(status);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}
