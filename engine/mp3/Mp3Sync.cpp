#include "engine/mp3/Mp3Sync.h"

namespace {

enum class Check { kYes, kNo, kMore };

// A header of the same stream at p + d.
Check NextAt(const uint8_t* p, size_t n, size_t i, size_t d, const Mp3Frame& f) {
  if (i + d + 4 > n) return Check::kMore;
  Mp3Frame next;
  return Mp3Frame::Parse(p + i + d, 4, next) && next.SameStream(f) ? Check::kYes : Check::kNo;
}

// Free format: the next header of the stream decides the length, and one
// more at the same distance (give or take the padding byte) confirms it.
Check FreeAt(const uint8_t* p, size_t n, size_t i, bool atEnd, const Mp3Frame& f, int& length) {
  const size_t minLen = static_cast<size_t>(f.SideInfoEnd()) + 1;
  const size_t maxLen = static_cast<size_t>(f.LengthAt(640)) + 1;
  for (size_t d = minLen; d <= maxLen; ++d) {
    const Check c = NextAt(p, n, i, d, f);
    if (c == Check::kMore) return atEnd ? Check::kNo : Check::kMore;
    if (c == Check::kNo) continue;
    const size_t bare = d - static_cast<size_t>(f.m_nPadding);
    for (size_t d2 = bare; d2 <= bare + 1; ++d2) {
      const Check c2 = NextAt(p, n, i + d, d2, f);
      if (c2 == Check::kMore) return atEnd ? Check::kNo : Check::kMore;
      if (c2 == Check::kYes) {
        length = static_cast<int>(bare);
        return Check::kYes;
      }
    }
  }
  return Check::kNo;
}

}  // namespace

SyncResult Mp3Sync::Find(const uint8_t* p, size_t n, size_t from, bool atEnd, size_t& at, Mp3Frame& frame,
                         int& freeLength) {
  freeLength = 0;
  for (size_t i = from; i + 4 <= n; ++i) {
    if (p[i] != 0xFF) continue;
    Mp3Frame f;
    if (!Mp3Frame::Parse(p + i, n - i, f)) continue;
    Check c;
    if (f.FreeFormat()) {
      c = FreeAt(p, n, i, atEnd, f, freeLength);
    } else {
      const size_t len = static_cast<size_t>(f.m_nLength);
      // The file's last frame has nothing after it to confirm it.
      c = atEnd && i + len == n ? Check::kYes : NextAt(p, n, i, len, f);
      if (c == Check::kMore && atEnd) c = Check::kNo;
    }
    if (c == Check::kNo) continue;
    at = i;
    if (c == Check::kMore) return SyncResult::kNeedMore;
    frame = f;
    return SyncResult::kFound;
  }
  // The last three bytes may begin a header that the next bytes complete.
  at = atEnd ? n : (n >= 3 ? n - 3 : 0);
  if (at < from) at = from;
  return SyncResult::kNone;
}
