#pragma once
// The first bytes of a probe's reply body, judged as a song or a page. The
// body is then of no further use, so reading is bounded in bytes and time:
// a probe must not hang on a server that sends its header and then nothing.
#include <functional>
#include <string>

#include "engine/SongContent.h"
#include "engine/http/Reply.h"

class CConnection;

class CBodySniff {
 public:
  // Reads from `conn` a body framed as `framing` until it is judged, `most`
  // raw bytes were read, or the steady tick `deadlineMs` passed. A song's
  // head is read on until `enough` (when set) says it is. `body` gets the
  // decoded bytes read.
  static SongBytes Read(CConnection& conn, const BodyFraming& framing, bool labelledText, size_t most,
                        long long deadlineMs, const std::function<bool(const std::string&)>& enough,
                        std::string& body);
};
