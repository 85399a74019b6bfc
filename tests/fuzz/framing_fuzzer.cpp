// The header values that decide how many bytes a reply carries and how its
// body is coded: read wrongly, they put foreign bytes into a song.
#include <cstdlib>
#include <string>
#include "engine/http/HttpFraming.h"
#include "engine/SongContent.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string length = in.Next();
  const std::string range = in.Next();
  const std::string transfer = in.Next();
  const std::string content = in.Next();
  const std::string body(in.Rest());

  long long n = -1;
  if (ParseContentLength(length, n) && n < 0) abort();
  ContentRange r;
  if (ParseContentRange(range, r)) {
    if (r.first < 0 || r.last < r.first) abort();
    if (r.total != -1 && (r.total <= r.last)) abort();
  }
  (void)ReadBodyCoding(transfer, content);
  (void)IsTextContentType(content);
  const SongBytes judged = JudgeFirstBytes(body.data(), body.size());
  // More bytes never turn a decided verdict around.
  if (judged != SongBytes::kUnknown && body.size() > 1 &&
      JudgeFirstBytes(body.data(), body.size() - 1) != SongBytes::kUnknown &&
      JudgeFirstBytes(body.data(), body.size() - 1) != judged)
    abort();
  return 0;
}
