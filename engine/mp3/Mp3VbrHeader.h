#pragma once
// The header an encoder writes into a stream's first frame to tell its
// frame count: "Xing" (variable rate), "Info" (constant) or "VBRI".
#include <cstddef>
#include <cstdint>

#include "engine/mp3/Mp3Frame.h"

struct Mp3VbrHeader {
  bool m_bFound = false;
  bool m_bVbr = false;        // "Xing" or "VBRI"; "Info" marks a constant rate
  long long m_nFrames = -1;   // audio frames after this one; -1 when not told
  long long m_nBytes = -1;    // bytes of the stream; -1 when not told

  // p is the frame's first byte, n what is at hand of it.
  static Mp3VbrHeader Read(const uint8_t* p, size_t n, const Mp3Frame& frame);
};
