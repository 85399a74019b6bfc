#include "engine/mp3/Mp3VbrHeader.h"

#include <cstring>

namespace {

long long BigEndian32(const uint8_t* p) {
  return static_cast<long long>(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
}

}  // namespace

Mp3VbrHeader Mp3VbrHeader::Read(const uint8_t* p, size_t n, const Mp3Frame& frame) {
  Mp3VbrHeader h;
  if (frame.m_nLayer != 3) return h;
  const size_t limit = frame.m_nLength > 0 && static_cast<size_t>(frame.m_nLength) < n ? frame.m_nLength : n;
  const size_t at = static_cast<size_t>(frame.SideInfoEnd());
  if (at + 8 <= limit && (std::memcmp(p + at, "Xing", 4) == 0 || std::memcmp(p + at, "Info", 4) == 0)) {
    h.m_bFound = true;
    h.m_bVbr = p[at] == 'X';
    const long long flags = BigEndian32(p + at + 4);
    size_t field = at + 8;
    if ((flags & 1) && field + 4 <= limit) {
      h.m_nFrames = BigEndian32(p + field);
      field += 4;
    }
    if ((flags & 2) && field + 4 <= limit) h.m_nBytes = BigEndian32(p + field);
    return h;
  }
  // Always 32 bytes of side information before it, whatever the mode.
  constexpr size_t kVbriAt = 4 + 32;
  if (kVbriAt + 18 <= limit && std::memcmp(p + kVbriAt, "VBRI", 4) == 0) {
    h.m_bFound = true;
    h.m_bVbr = true;
    h.m_nBytes = BigEndian32(p + kVbriAt + 10);
    h.m_nFrames = BigEndian32(p + kVbriAt + 14);
  }
  return h;
}
