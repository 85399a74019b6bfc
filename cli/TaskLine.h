#pragma once
// One task's line of the console's get, laid out to fit an 80-column
// terminal: name, size, percentage, speed, time left and the chosen link's
// bitrate in fixed columns, then as much of the status as is left room for,
// then the block bars when they fit.
#include <string>

#include "engine/Gbk.h"

struct TaskLineCells {
  std::string name, size, percent, speed, remaining, bitrate, status;  // GBK
};

inline std::string TaskLine(const TaskLineCells& c, const std::string& bars = "", size_t barColumns = 0) {
  constexpr size_t kWidth = 80;
  // A GBK text is as many terminal columns wide as it has bytes; cut first
  // so a long name cannot push the columns out.
  size_t used = 0;
  std::string line;
  auto cell = [&](const std::string& gbk, size_t width) {
    const std::string cut = CutGbk(gbk, width);
    line += GbkToUtf8(cut);
    line.append(width - cut.size() + 1, ' ');
    used += width + 1;
  };
  cell(c.name, 20);
  cell(c.size, 9);
  cell(c.percent, 4);
  cell(c.speed, 9);
  cell(c.remaining, 7);
  cell(c.bitrate, 11);
  size_t room = kWidth - used;
  const bool withBars = !bars.empty() && barColumns + 1 <= room;
  if (withBars) room -= barColumns + 1;
  const std::string status = CutGbk(c.status, room);
  line += GbkToUtf8(status);
  if (withBars) line.append(room - status.size() + 1, ' ') += bars;
  return line;
}
