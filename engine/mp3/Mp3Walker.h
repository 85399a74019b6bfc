#pragma once
// Walks a whole MP3 file frame header by frame header, fed in order as it
// is read, and judges whether it holds a whole song: enough frames between
// the tags, and no fewer than its own first frame says it has.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

#include "engine/mp3/Mp3Frame.h"

enum class Mp3Verdict {
  kWhole,     // a song a player plays to its end
  kNoFrames,  // no run of frames at all: not an MP3
  kSparse,    // frames cover too little of the bytes between the tags
  kCutShort,  // fewer frames than its Xing/VBRI header counts
};

class CMp3Walker {
 public:
  // Frames must cover this share of the bytes between the tags...
  static constexpr double kMinCover = 0.90;
  // ...and hold all but this share of the frames the stream declares.
  static constexpr double kMaxMissing = 0.02;
  // A run this long is a stream, not a chance match in other data.
  static constexpr int kMinRun = 3;

  // Takes bytes at the walk's current offset; returns how many it used.
  // The caller hands the rest back at the front of the next call, with
  // more after them (Mp3Sync::kLookahead bytes past them at least, unless
  // atEnd says the file ends with these bytes).
  size_t Walk(const uint8_t* p, size_t n, bool atEnd);
  // After the last Walk: tail holds the file's last tailSize bytes.
  Mp3Verdict Finish(const uint8_t* tail, size_t tailSize, long long fileSize);

  long long Frames() const { return m_nFrames; }
  long long FrameBytes() const { return m_nFrameBytes; }
  long long DeclaredFrames() const { return m_nDeclared; }
  long long RegionBytes() const { return m_nRegion; }
  bool FreeFormat() const { return m_bFree; }

 private:
  void CountFrame(long long offset, int length);
  void Lock(const uint8_t* p, size_t n, const Mp3Frame& f);

  long long m_nOffset = 0;  // file offset of the next byte Walk sees
  long long m_nSkip = 0;    // bytes of a tag still to pass over
  long long m_nTagBytes = 0;
  bool m_bSynced = false;
  bool m_bFirstFrame = true;
  bool m_bFree = false;
  Mp3Frame m_stream;
  int m_nRun = 0;
  int m_nLongestRun = 0;
  long long m_nFrames = 0;
  long long m_nFrameBytes = 0;
  long long m_nDeclared = -1;
  bool m_bDeclaredInFrame = false;  // the first frame is the header, not audio
  long long m_nRegion = 0;
  // The last frames walked (offset, length): those inside the end tags
  // are taken back once the tags are known.
  std::deque<std::pair<long long, int>> m_recent;
};
