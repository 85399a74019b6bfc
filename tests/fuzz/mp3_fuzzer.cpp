// The MP3 reader on arbitrary bytes: the probe's head reading and the
// finished-file walk must not fault, and the walk must judge the same
// bytes alike however they are cut into reads.
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/mp3/Mp3Head.h"
#include "engine/mp3/Mp3Sync.h"
#include "engine/mp3/Mp3Walker.h"

namespace {

// Feeds data to a walker in reads of `step` bytes, the way the file check
// does: what it leaves is handed back first.
Mp3Verdict WalkInSteps(const uint8_t* data, size_t size, size_t step, long long& frames) {
  CMp3Walker walker;
  std::vector<uint8_t> buf;
  size_t next = 0;
  for (int guard = 0; guard < 1000000; ++guard) {
    const size_t take = std::min(step, size - next);
    buf.insert(buf.end(), data + next, data + next + take);
    next += take;
    const bool atEnd = next == size;
    const size_t used = walker.Walk(buf.data(), buf.size(), atEnd);
    if (used > buf.size()) abort();
    if (atEnd) break;
    buf.erase(buf.begin(), buf.begin() + static_cast<long>(used));
  }
  const Mp3Verdict v = walker.Finish(data, size, static_cast<long long>(size));
  frames = walker.Frames();
  if (walker.FrameBytes() < 0 || walker.Frames() < 0) abort();
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Mp3Head head = Mp3Head::Read(data, size, 0, static_cast<long long>(size), true);
  if (head.m_eState == Mp3Head::State::kKnown &&
      (head.m_nAudioStart < 0 || head.m_nAudioStart >= static_cast<long long>(size)))
    abort();
  (void)Mp3Head::Read(data, size, 0, -1, false);
  if (size > 10) (void)Mp3Head::Read(data + 10, size - 10, 10, static_cast<long long>(size) * 3, false);

  long long whole = 0, stepped = 0;
  const Mp3Verdict a = WalkInSteps(data, size, size ? size : 1, whole);
  // Small reads still carry the look-ahead the walker asks for.
  const Mp3Verdict b = WalkInSteps(data, size, Mp3Sync::kLookahead + 1 + size % 97, stepped);
  if (a != b || whole != stepped) abort();
  return 0;
}
