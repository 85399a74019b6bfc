#include "engine/http/BodySniff.h"

#include <cerrno>

#include "engine/http/ChunkedDecoder.h"
#include "engine/Common.h"
#include "engine/http/Connection.h"

SongBytes CBodySniff::Read(CConnection& conn, BodyCoding coding, long long left, bool labelledText, size_t most,
                           long long deadline, const std::function<bool(const std::string&)>& enough,
                           std::string& body) {
  body.clear();
  if (coding == BodyCoding::kUnsupported) return SongBytes::kUnknown;
  if (coding != BodyCoding::kIdentity) left = -1;  // a chunked body's Content-Length does not count
  if (left == 0) return SongBytes::kUnknown;
  CChunkedDecoder decoder;
  char buffer[1024];
  size_t raw = 0;
  while (raw < most) {
    const long long wait = deadline - GetTickMs();
    if (wait <= 0) break;
    if (!conn.WaitReadable(static_cast<int>(wait))) break;
    size_t cap = sizeof buffer;
    if (left > 0 && static_cast<long long>(cap) > left) cap = static_cast<size_t>(left);
    if (cap > most - raw) cap = most - raw;
    const ssize_t n = conn.Recv(buffer, cap, true);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    raw += static_cast<size_t>(n);
    if (left > 0) left -= n;
    size_t used = 0, produced = static_cast<size_t>(n);
    if (coding == BodyCoding::kChunked &&
        decoder.Feed(buffer, static_cast<size_t>(n), buffer, used, produced) == ChunkedStatus::kError)
      break;
    body.append(buffer, produced);
    const SongBytes j = JudgeBody(body.data(), body.size(), labelledText);
    if (j == SongBytes::kMarkup || (j == SongBytes::kSong && (!enough || enough(body)))) return j;
    if (left == 0 || decoder.Done()) break;
  }
  return JudgeBody(body.data(), body.size(), labelledText);
}
