#pragma once
// The one reader of reply bodies: identity with a length, identity up to
// the close, and chunked, each receive decoded as it comes. Block bodies,
// a probe's first bytes and a redirect's body are all read through here.
#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "engine/http/ChunkedDecoder.h"
#include "engine/http/Reply.h"

class CConnection;

class BodyReader {
 public:
  enum class Got {
    kData,        // Data()/Size() hold what one receive brought (may be 0 bytes
                  // of data for a chunked body's size lines)
    kEnd,         // the body's own end was reached before this receive
    kCapped,      // the byte cap was read: nothing more is taken
    kWouldBlock,  // nothing there yet (only when asked not to wait)
    kClosed,      // the server closed the connection
    kFailed,      // the receive failed or timed out
    kBadChunk,    // the chunked coding broke: not a body we can read
  };

  // cap: most raw bytes taken off the connection (-1: no cap).
  // bufferSize: most raw bytes one receive takes.
  BodyReader(CConnection& conn, const BodyFraming& framing, long long cap = -1, size_t bufferSize = 16 * 1024);

  // One receive of at most `most` raw bytes (an identity body's bytes are
  // its data, so `most` also bounds the data).
  Got Next(size_t most, bool dontWait);
  const char* Data() const { return m_buf.data(); }
  size_t Size() const { return m_size; }
  // Raw bytes the last receive took, size lines and all.
  size_t Raw() const { return m_raw; }
  // The body's own end has been read: a length's last byte or the last chunk.
  bool Ended() const { return m_ended; }
  // A close is this body's end (identity without a length).
  bool EndsAtClose() const { return m_framing.coding == BodyCoding::kIdentity && m_framing.length < 0; }
  long long RawTotal() const { return m_total; }

 private:
  CConnection& m_conn;
  BodyFraming m_framing;
  long long m_left;  // identity bytes still to come; -1 when not told
  long long m_cap;
  long long m_total = 0;
  CChunkedDecoder m_decoder;
  std::vector<char> m_buf;
  size_t m_size = 0;
  size_t m_raw = 0;
  bool m_ended = false;
};
