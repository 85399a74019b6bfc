#pragma once
// The bytes of one GET request, exactly as servers have always seen them
// from us: no blank after a header's colon except in the Range line, and a
// request that does not fit its 1023 bytes is refused, never sent cut.
#include <cstddef>
#include <string>

struct RequestLines {
  std::string host;     // for the Host line, without a default port
  std::string target;   // the request line's target, escaped here
  const char* cookie = nullptr;
  const char* referer = nullptr;
  long long start = 0;  // a Range line when above 0 (or askFromZero)
  long long end = 0;    // the range's end when above start; else it is open
  bool askFromZero = false;
  std::string extraLines;  // whole lines a proxy wants, each ending CR LF
};

class RequestBuilder {
 public:
  // Room of the request text with its terminating NUL.
  static constexpr size_t kMaxBytes = 1024;
  // The request text; false (and out empty) when it does not fit.
  static bool Build(const RequestLines& lines, std::string& out);
};
