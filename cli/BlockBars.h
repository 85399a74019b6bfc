#pragma once
// A task's blocks as one small bar each, for the console's live lines: a
// character from empty to full per block, so a stalled block shows at once.
#include <string>
#include <vector>

#include "engine/job/BlockSnapshot.h"

inline std::string BlockBars(const std::vector<BlockSnapshot>& blocks) {
  static const char* const kLevels[] = {"·", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
  if (blocks.empty()) return {};
  std::string bars = "[";
  for (const BlockSnapshot& b : blocks) {
    const long long length = b.m_nLast - b.m_nFirst + 1;
    long long level = length > 0 ? b.m_nBytes * 8 / length : 0;
    if (level < 0) level = 0;
    if (level > 8) level = 8;
    // Only a finished block is full: rounding must not hide the last bytes.
    if (level == 8 && b.m_nBytes < length) level = 7;
    bars += kLevels[level];
  }
  return bars + "]";
}
