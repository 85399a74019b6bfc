#pragma once
// What the first bytes of an MP3 file tell of its audio: bitrate, length,
// sample rate and channels, from the ID3v2 size, the first frame and the
// Xing/Info/VBRI header in it.
#include <cstddef>
#include <cstdint>

#include "engine/mp3/Mp3Frame.h"

struct Mp3Head {
  enum class State {
    kKnown,      // the figures below are filled
    kNeedMore,   // the next bytes decide
    kNeedRange,  // the audio starts at m_nAudioStart, past the bytes at hand
    kNotMp3,     // these bytes hold no frame stream
  };
  State m_eState = State::kNeedMore;
  long long m_nAudioStart = 0;  // file offset of the first frame (or of the audio after the tags)
  Mp3Frame m_frame;
  int m_nKbps = -1;    // the average for a variable rate
  bool m_bVbr = false;
  int m_nSeconds = -1; // -1 when neither a frame count nor the file length is known

  // p holds the file's bytes from offset on (0, or where the audio
  // starts); fileLength is -1 when unknown; atEnd says no more bytes come.
  static Mp3Head Read(const uint8_t* p, size_t n, long long offset, long long fileLength, bool atEnd);
};
