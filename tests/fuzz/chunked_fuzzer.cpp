// The chunked body decoder, fed the way the socket hands it bytes: in
// pieces of arbitrary sizes, decoding in place.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "engine/http/ChunkedDecoder.h"

namespace {
// Decodes body in pieces whose sizes come from the seed; returns the data
// and the final status.
ChunkedStatus Decode(const std::string& body, unsigned seed, std::string& data, size_t& rest) {
  CChunkedDecoder d;
  ChunkedStatus s = ChunkedStatus::kMore;
  size_t pos = 0;
  rest = 0;
  while (pos < body.size() && s == ChunkedStatus::kMore) {
    seed = seed * 1103515245u + 12345u;
    const size_t n = std::min<size_t>(body.size() - pos, 1 + (seed >> 16) % 97);
    std::vector<char> buf(body.begin() + static_cast<long>(pos), body.begin() + static_cast<long>(pos + n));
    size_t used = 0, produced = 0;
    s = d.Feed(buf.data(), n, buf.data(), used, produced);
    if (used > n || produced > used) abort();
    data.append(buf.data(), produced);
    if (s == ChunkedStatus::kMore && used != n) abort();
    if (s == ChunkedStatus::kDone) rest = body.size() - pos - used;
    pos += used;
  }
  if (d.Decoded() != data.size()) abort();
  if (s == ChunkedStatus::kError && !d.Failed()) abort();
  return s;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1) return 0;
  const std::string body(reinterpret_cast<const char*>(bytes) + 1, size - 1);
  std::string a, b;
  size_t restA = 0, restB = 0;
  const ChunkedStatus sa = Decode(body, bytes[0], a, restA);
  const ChunkedStatus sb = Decode(body, bytes[0] * 7919u + 1, b, restB);
  // How the bytes were cut must not change what they say.
  if (sa != sb) abort();
  if (sa != ChunkedStatus::kError && (a != b || restA != restB)) abort();
  return 0;
}
