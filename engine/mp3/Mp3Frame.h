#pragma once
// One MPEG audio frame header, read from its four bytes. Plain values and
// no I/O: the probe, the finished-file check and the fuzz harness share it.
#include <cstddef>
#include <cstdint>

struct Mp3Frame {
  enum Version { kMpeg1 = 1, kMpeg2 = 2, kMpeg25 = 25 };
  Version m_eVersion = kMpeg1;
  int m_nLayer = 3;          // 1, 2 or 3
  int m_nKbps = 0;           // 0: free format (the length is not in the header)
  int m_nSampleRate = 0;     // Hz
  int m_nChannels = 2;       // 1 for a mono frame
  int m_nPadding = 0;        // 0 or 1 slot
  bool m_bCrc = false;       // a 16-bit check follows the header
  int m_nLength = 0;         // bytes, header included; 0 in free format
  int m_nSamples = 0;        // per channel, per frame
  uint32_t m_nFixedBits = 0; // the bits every frame of one stream shares

  // False for anything a player would not take for a header: no sync, a
  // reserved version, layer, bitrate, sample rate or emphasis.
  static bool Parse(const uint8_t* p, size_t n, Mp3Frame& out);
  // Both frames belong to one stream: same version, layer and sample rate.
  bool SameStream(const Mp3Frame& o) const { return m_nFixedBits == o.m_nFixedBits; }
  bool FreeFormat() const { return m_nKbps == 0; }
  // Bytes of the frame at the given free-format bitrate (kbps); the
  // header's own rate when it has one.
  int LengthAt(int kbps) const;
  // Where a Xing/Info header sits in this frame: after the header, the
  // check word and the side information.
  int SideInfoEnd() const;
};
