#include "engine/mp3/Mp3Tags.h"

#include <cstring>

namespace {

uint32_t LittleEndian32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Some tag types in the order the peel tries them; each returns the size
// of a tag ending at `end` (an offset into tail), 0 when none ends there.
long long Id3v1At(const uint8_t* tail, size_t end) {
  return end >= 128 && std::memcmp(tail + end - 128, "TAG", 3) == 0 ? 128 : 0;
}

long long ApeAt(const uint8_t* tail, size_t end) {
  if (end < 32) return 0;
  const uint8_t* f = tail + end - 32;
  if (std::memcmp(f, "APETAGEX", 8) != 0) return 0;
  const long long size = LittleEndian32(f + 12);  // items and footer
  const bool header = (LittleEndian32(f + 20) & 0x80000000u) != 0;
  if (size < 32) return 0;
  return size + (header ? 32 : 0);
}

long long Lyrics3At(const uint8_t* tail, size_t end) {
  if (end >= 15 && std::memcmp(tail + end - 9, "LYRICS200", 9) == 0) {
    long long size = 0;
    for (size_t i = end - 15; i < end - 9; ++i) {
      if (tail[i] < '0' || tail[i] > '9') return 0;
      size = size * 10 + (tail[i] - '0');
    }
    return size + 15;
  }
  if (end >= 20 && std::memcmp(tail + end - 9, "LYRICSEND", 9) == 0) {
    // The first version has no size: its start mark is at most 5100 bytes back.
    const size_t from = end > 5100 + 9 ? end - 5100 - 9 : 0;
    for (size_t i = end - 9 - 11 + 1; i-- > from;)
      if (std::memcmp(tail + i, "LYRICSBEGIN", 11) == 0) return static_cast<long long>(end - i);
  }
  return 0;
}

}  // namespace

long long Id3v2TagSize(const uint8_t* p, size_t n) {
  if (n < 10 || std::memcmp(p, "ID3", 3) != 0 || p[3] == 0xFF || p[4] == 0xFF) return 0;
  long long size = 0;
  for (int i = 6; i < 10; ++i) {
    if (p[i] & 0x80) return 0;  // sizes are "synchsafe": seven bits a byte
    size = size << 7 | p[i];
  }
  const bool footer = p[3] >= 4 && (p[5] & 0x10) != 0;
  return 10 + size + (footer ? 10 : 0);
}

long long EndTagsSize(const uint8_t* tail, size_t tailSize, long long fileSize) {
  if (fileSize < static_cast<long long>(tailSize)) tailSize = static_cast<size_t>(fileSize);
  long long peeled = 0;
  // A handful of tags at most; each turn must peel one or stop.
  for (int turn = 0; turn < 8; ++turn) {
    if (peeled >= static_cast<long long>(tailSize)) break;
    const size_t end = tailSize - static_cast<size_t>(peeled);
    long long size = Id3v1At(tail, end);
    if (!size) size = ApeAt(tail, end);
    if (!size) size = Lyrics3At(tail, end);
    if (!size || size > fileSize - peeled) break;
    peeled += size;
  }
  return peeled;
}
