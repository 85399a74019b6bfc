#pragma once
// Audio file signatures at the start of a body, for bodies whose label
// says text: only these bytes make such a body a song.
#include <cstddef>

class CAudioSignature {
 public:
  enum class Verdict { kAudio, kNone, kTooShort };
  static Verdict Check(const unsigned char* p, size_t n);
  // Length in bytes of the MPEG audio frame whose header starts at p, or 0
  // when those four bytes are no valid header (free bitrate included: its
  // length cannot be told).
  static size_t MpegFrameLength(const unsigned char* p);

 private:
  static Verdict CheckId3(const unsigned char* p, size_t n);
  static Verdict CheckMpeg(const unsigned char* p, size_t n);
  static Verdict CheckPrefix(const unsigned char* p, size_t n, const unsigned char* sig, size_t len);
};
