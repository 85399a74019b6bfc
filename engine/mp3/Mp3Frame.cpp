#include "engine/mp3/Mp3Frame.h"

namespace {

// kbps by [row][index]; rows: MPEG-1 layers 1-3, then MPEG-2/2.5 layer 1,
// layers 2 and 3.
constexpr int kRates[5][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
};
constexpr int kMpeg1Rates[3] = {44100, 48000, 32000};

}  // namespace

bool Mp3Frame::Parse(const uint8_t* p, size_t n, Mp3Frame& out) {
  if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  const int ver = (p[1] >> 3) & 3, layer = (p[1] >> 1) & 3;
  const int rate = p[2] >> 4, freq = (p[2] >> 2) & 3;
  if (ver == 1 || layer == 0 || rate == 15 || freq == 3 || (p[3] & 3) == 2) return false;
  Mp3Frame f;
  f.m_eVersion = ver == 3 ? kMpeg1 : ver == 2 ? kMpeg2 : kMpeg25;
  f.m_nLayer = 4 - layer;
  const int row = f.m_eVersion == kMpeg1 ? f.m_nLayer - 1 : f.m_nLayer == 1 ? 3 : 4;
  f.m_nKbps = kRates[row][rate];
  f.m_nSampleRate = kMpeg1Rates[freq] / (f.m_eVersion == kMpeg1 ? 1 : f.m_eVersion == kMpeg2 ? 2 : 4);
  f.m_nChannels = (p[3] >> 6) == 3 ? 1 : 2;
  f.m_nPadding = (p[2] >> 1) & 1;
  f.m_bCrc = (p[1] & 1) == 0;
  f.m_nSamples = f.m_nLayer == 1 ? 384 : (f.m_nLayer == 3 && f.m_eVersion != kMpeg1) ? 576 : 1152;
  f.m_nLength = f.LengthAt(f.m_nKbps);
  // Sync, version, layer, sample rate and free-format-ness: what a stream
  // keeps from frame to frame.
  f.m_nFixedBits = (uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8) & 0xFE0C00u;
  if (f.m_nKbps == 0) f.m_nFixedBits |= 1;
  out = f;
  return true;
}

int Mp3Frame::LengthAt(int kbps) const {
  if (kbps <= 0 || m_nSampleRate <= 0) return 0;
  const long long bits = static_cast<long long>(kbps) * 1000;
  if (m_nLayer == 1) return static_cast<int>((12 * bits / m_nSampleRate + m_nPadding) * 4);
  const int factor = m_nSamples / 8;  // 144 or 72
  return static_cast<int>(factor * bits / m_nSampleRate + m_nPadding);
}

int Mp3Frame::SideInfoEnd() const {
  const int side = m_eVersion == kMpeg1 ? (m_nChannels == 1 ? 17 : 32) : (m_nChannels == 1 ? 9 : 17);
  return 4 + (m_bCrc ? 2 : 0) + side;
}
