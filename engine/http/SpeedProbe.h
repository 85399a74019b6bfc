#pragma once
// How fast a link answers, over a socket's connection: the time to split
// the address, to get the reply's header (following one redirect) and to
// connect afresh; and whether the first bytes are a song at all.
#include <string>

#include "engine/ProbeVerdict.h"
#include "engine/SongContent.h"

class CHttpSocket;

class SpeedProbe {
 public:
  // As CHttpSocket::ProbeSpeed.
  static bool Run(CHttpSocket& s, const std::string& url, int& parseMs, int& headerMs, int& reconnectMs,
                  int& length, std::string& contentType, ProbeVerdict& verdict);

 private:
  // Reads the first body bytes of a reply nobody keeps, bounded in bytes
  // and time: a probe must not hang on a server that sends its header and
  // then nothing.
  static SongBytes Sniff(CHttpSocket& s, bool labelledText);
  // The reply's length: 0 when it does not tell; false beyond 32 bits.
  static bool ReadLength(CHttpSocket& s, int& length);
};
