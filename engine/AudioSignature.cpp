#include "engine/AudioSignature.h"

#include <cstring>
#include <initializer_list>

namespace {

// kbps by [MPEG-1 or not][layer I, II, III][index]; index 0 (free) and 15
// (reserved) stay 0.
constexpr int kBitrates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};
// Hz by version bits (0: 2.5, 1: reserved, 2: 2, 3: 1) and index.
constexpr int kSampleRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

const unsigned char kId3[] = {'I', 'D', '3'};
const unsigned char kAsf[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                              0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const unsigned char kRm[] = {'.', 'R', 'M', 'F'};

}  // namespace

size_t CAudioSignature::MpegFrameLength(const unsigned char* p) {
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
  const int version = (p[1] >> 3) & 3;
  const int layerBits = (p[1] >> 1) & 3;
  const int bitrateIndex = p[2] >> 4;
  const int rateIndex = (p[2] >> 2) & 3;
  if (version == 1 || layerBits == 0 || rateIndex == 3) return 0;
  const int layer = 4 - layerBits;  // 1, 2 or 3
  const long bitrate = kBitrates[version == 3 ? 0 : 1][layer - 1][bitrateIndex] * 1000L;
  const long rate = kSampleRates[version][rateIndex];
  if (bitrate == 0 || rate == 0) return 0;
  const long padding = (p[2] >> 1) & 1;
  if (layer == 1) return static_cast<size_t>((12 * bitrate / rate + padding) * 4);
  const long perSample = layer == 3 && version != 3 ? 72 : 144;
  return static_cast<size_t>(perSample * bitrate / rate + padding);
}

CAudioSignature::Verdict CAudioSignature::CheckPrefix(const unsigned char* p, size_t n, const unsigned char* sig,
                                                      size_t len) {
  const size_t k = n < len ? n : len;
  if (std::memcmp(p, sig, k) != 0) return Verdict::kNone;
  return k == len ? Verdict::kAudio : Verdict::kTooShort;
}

CAudioSignature::Verdict CAudioSignature::CheckId3(const unsigned char* p, size_t n) {
  const Verdict tag = CheckPrefix(p, n, kId3, sizeof kId3);
  if (tag != Verdict::kAudio) return tag;
  if (n < 10) return Verdict::kTooShort;
  // Version 2.2 to 2.4, a revision, flags, and a size of four 7-bit bytes.
  if (p[3] < 2 || p[3] > 4 || p[4] == 0xFF) return Verdict::kNone;
  for (int i = 6; i < 10; ++i)
    if (p[i] & 0x80) return Verdict::kNone;
  return Verdict::kAudio;
}

CAudioSignature::Verdict CAudioSignature::CheckMpeg(const unsigned char* p, size_t n) {
  // FF FE opens UTF-16 text, and its bits would pass for a sync.
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) return Verdict::kNone;
  if (n < 4) {
    const bool maySync = p[0] == 0xFF && (n < 2 || (p[1] & 0xE0) == 0xE0);
    return maySync ? Verdict::kTooShort : Verdict::kNone;
  }
  const size_t length = MpegFrameLength(p);
  if (length < 4) return Verdict::kNone;
  if (n < length + 4) return Verdict::kTooShort;
  // One header could be chance; two a frame apart are a stream.
  const unsigned char* next = p + length;
  if (MpegFrameLength(next) == 0 || (next[1] & 0x1E) != (p[1] & 0x1E)) return Verdict::kNone;
  return Verdict::kAudio;
}

CAudioSignature::Verdict CAudioSignature::Check(const unsigned char* p, size_t n) {
  if (n == 0) return Verdict::kTooShort;
  bool tooShort = false;
  for (Verdict v : {CheckId3(p, n), CheckPrefix(p, n, kAsf, sizeof kAsf), CheckPrefix(p, n, kRm, sizeof kRm),
                    CheckMpeg(p, n)}) {
    if (v == Verdict::kAudio) return v;
    tooShort = tooShort || v == Verdict::kTooShort;
  }
  return tooShort ? Verdict::kTooShort : Verdict::kNone;
}
