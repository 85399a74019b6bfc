#pragma once
// What a candidate's audio is, from the bytes its probe read: the probe
// reads on until the first frame is in hand, and a tag too large for that
// costs one ranged read past it.
#include <string>

#include "task/Candidate.h"

class CHttpSocket;

class CAudioProbe {
 public:
  // The socket's question during the probe: do these first bytes tell
  // enough (or is the rest past a tag too large to read through)?
  static bool HeadEnough(const std::string& head);
  // The figures from the head the socket's probe kept; url, length and
  // ranges are the probe's, for the ranged read past a large tag.
  static AudioFacts Read(CHttpSocket& socket, const std::string& url, long long length, bool ranges);
  // The same from bytes at hand: head holds the file from offset on.
  static AudioFacts FromBytes(const std::string& head, long long offset, long long length, bool atEnd);
  // How much the ranged read past a tag asks for.
  static constexpr size_t kRangeBytes = 32 * 1024;
};

// Whether a task of file type `type` (".MP3") reads its candidates' audio.
bool ReadsAudio(const std::string& type);
