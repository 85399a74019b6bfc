#pragma once
// Incremental decoder of a chunked HTTP/1.1 message body. Bytes go in as
// they come off the socket, in pieces of any size; the data of the chunks
// comes out, the size lines, extensions and trailers do not. No socket
// behind it, so a fuzzer can drive it byte by byte.
//
//   CChunkedDecoder d;
//   size_t used = 0, out = 0;
//   ChunkedStatus s = d.Feed(buf, n, buf, used, out);  // may decode in place
//
// Decoded data is never longer than the bytes it came from, so the output
// may be the input buffer itself (or any buffer of at least n bytes).
#include <cstddef>
#include <cstdint>

enum class ChunkedStatus {
  kMore,   // everything fed was used; the message goes on
  kDone,   // the last chunk and its trailers have been read; bytes after
           // them (used < n) belong to whatever follows the message
  kError,  // not a chunked body; the decoder stays in error
};

class CChunkedDecoder {
 public:
  // Longest size line (digits, extensions, blanks) and trailer section we
  // accept; a server that sends more is not speaking chunked coding to us.
  static constexpr size_t kMaxLine = 4096;
  static constexpr size_t kMaxTrailers = 16384;

  // Decodes in[0..n) into out, which has room for n bytes and may equal
  // in. used: input bytes consumed; produced: data bytes written to out.
  ChunkedStatus Feed(const char* in, size_t n, char* out, size_t& used, size_t& produced);

  bool Done() const { return m_state == State::kDone; }
  bool Failed() const { return m_state == State::kError; }
  // Data bytes produced over the whole message.
  uint64_t Decoded() const { return m_decoded; }

 private:
  enum class State {
    kSize,        // hex digits of a chunk size
    kSizeTail,    // blanks or an extension after the digits
    kSizeLf,      // CR seen at the end of a size line
    kData,        // inside a chunk's data
    kDataCr,      // CR LF after a chunk's data
    kDataLf,
    kTrailer,     // at the start of a trailer line (or the final blank line)
    kTrailerLine, // inside a trailer line
    kTrailerLf,   // CR seen at the end of a trailer line
    kFinalLf,     // CR of the final blank line seen
    kDone,
    kError,
  };
  State m_state = State::kSize;
  uint64_t m_chunkLeft = 0;  // data bytes left in the current chunk
  size_t m_digits = 0;       // hex digits of the current size line
  size_t m_lineBytes = 0;    // bytes of the current size line
  size_t m_trailerBytes = 0;
  uint64_t m_decoded = 0;
};
