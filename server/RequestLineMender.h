#pragma once
#include <cstddef>
#include <string>

// The rewriting, for one connection's incoming bytes: every "?" after the
// first one in a request line's target becomes "%3F"; header lines and
// bodies (by Content-Length) pass unchanged. After a chunked body it stops
// rewriting, as it can no longer tell where a request begins.
class CRequestLineMender {
 public:
  void Feed(const char* data, size_t size, std::string& out);

 private:
  enum class State { kRequestLine, kHeaders, kBody, kPassThrough };
  void EndHeaderLine();

  State m_state = State::kRequestLine;
  int m_nSpaces = 0;       // blanks seen in the request line
  bool m_bQuery = false;   // the target's first "?" was seen
  std::string m_strLine;   // the header line so far
  long long m_nContentLength = 0;
  bool m_bChunked = false;
  long long m_nBodyLeft = 0;
};
