#include "engine/http/ChunkedDecoder.h"

#include <cstring>

#include "engine/http/HexDigit.h"

namespace {

// Sixteen hex digits would overflow; fifteen already mean petabytes.
constexpr size_t kMaxDigits = 15;

}  // namespace

ChunkedStatus CChunkedDecoder::Feed(const char* in, size_t n, char* out, size_t& used, size_t& produced) {
  used = 0;
  produced = 0;
  if (m_state == State::kError) return ChunkedStatus::kError;
  size_t i = 0;
  auto fail = [&] {
    m_state = State::kError;
    used = i;
    return ChunkedStatus::kError;
  };
  while (i < n && m_state != State::kDone) {
    const char c = in[i];
    switch (m_state) {
      case State::kSize: {
        const int v = HexDigitValue(c);
        if (v >= 0) {
          if (++m_digits > kMaxDigits) return fail();
          m_chunkLeft = m_chunkLeft * 16 + static_cast<uint64_t>(v);
        } else if (m_digits == 0) {
          return fail();
        } else if (c == '\r') {
          m_state = State::kSizeLf;
        } else if (c == '\n') {
          m_state = m_chunkLeft > 0 ? State::kData : State::kTrailer;
        } else if (c == ';' || c == ' ' || c == '\t') {
          m_state = State::kSizeTail;
        } else {
          return fail();
        }
        if (++m_lineBytes > kMaxLine) return fail();
        ++i;
        break;
      }
      case State::kSizeTail:
        if (c == '\r') {
          m_state = State::kSizeLf;
        } else if (c == '\n') {
          m_state = m_chunkLeft > 0 ? State::kData : State::kTrailer;
        } else if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
          return fail();
        }
        if (++m_lineBytes > kMaxLine) return fail();
        ++i;
        break;
      case State::kSizeLf:
        if (c != '\n') return fail();
        m_state = m_chunkLeft > 0 ? State::kData : State::kTrailer;
        ++i;
        break;
      case State::kData: {
        size_t take = n - i;
        if (take > m_chunkLeft) take = static_cast<size_t>(m_chunkLeft);
        // memmove: out may be in itself, a little behind the read position.
        if (out + produced != in + i) std::memmove(out + produced, in + i, take);
        produced += take;
        i += take;
        m_chunkLeft -= take;
        m_decoded += take;
        if (m_chunkLeft == 0) m_state = State::kDataCr;
        break;
      }
      case State::kDataCr:
        if (c == '\r') {
          m_state = State::kDataLf;
        } else if (c == '\n') {
          m_state = State::kSize;
          m_digits = 0;
          m_lineBytes = 0;
        } else {
          return fail();
        }
        ++i;
        break;
      case State::kDataLf:
        if (c != '\n') return fail();
        m_state = State::kSize;
        m_digits = 0;
        m_lineBytes = 0;
        ++i;
        break;
      case State::kTrailer:
        if (c == '\r') {
          m_state = State::kFinalLf;
        } else if (c == '\n') {
          m_state = State::kDone;
        } else {
          m_state = State::kTrailerLine;
        }
        if (++m_trailerBytes > kMaxTrailers) return fail();
        ++i;
        break;
      case State::kTrailerLine:
        if (c == '\r') m_state = State::kTrailerLf;
        else if (c == '\n') m_state = State::kTrailer;
        if (++m_trailerBytes > kMaxTrailers) return fail();
        ++i;
        break;
      case State::kTrailerLf:
        if (c != '\n') return fail();
        m_state = State::kTrailer;
        ++i;
        break;
      case State::kFinalLf:
        if (c != '\n') return fail();
        m_state = State::kDone;
        ++i;
        break;
      case State::kDone:
      case State::kError:
        break;
    }
  }
  used = i;
  return m_state == State::kDone ? ChunkedStatus::kDone : ChunkedStatus::kMore;
}
