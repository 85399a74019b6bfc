#pragma once
// Finds where a stream of MPEG audio frames starts, past junk, as players
// do: a header counts only when the next frame's header follows it.
#include <cstddef>
#include <cstdint>

#include "engine/mp3/Mp3Frame.h"

enum class SyncResult {
  kFound,     // a confirmed frame starts at `at`
  kNeedMore,  // undecided from `at` on: call again with more bytes there
  kNone,      // no frame starts before `at`
};

struct Mp3Sync {
  // Scans p[from, n). atEnd says p ends where the file does. A free-format
  // frame is confirmed by two more headers at its distance; its length
  // (without padding) then goes to freeLength, else freeLength is 0.
  static SyncResult Find(const uint8_t* p, size_t n, size_t from, bool atEnd, size_t& at,
                         Mp3Frame& frame, int& freeLength);
  // Bytes past a candidate header that Find may need to decide on it.
  static constexpr size_t kLookahead = 24 * 1024;
};
