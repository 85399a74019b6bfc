#include "server/RequestLineMender.h"

#include <algorithm>
#include <cstdlib>

#include "engine/TextRules.h"

void CRequestLineMender::Feed(const char* data, size_t size, std::string& out) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    switch (m_state) {
      case State::kPassThrough:
        out.append(data + i, size - i);
        return;
      case State::kBody: {
        const size_t n = static_cast<size_t>(std::min<long long>(m_nBodyLeft, static_cast<long long>(size - i)));
        out.append(data + i, n);
        m_nBodyLeft -= static_cast<long long>(n);
        i += n - 1;
        if (m_nBodyLeft == 0) m_state = State::kRequestLine;
        break;
      }
      case State::kRequestLine:
        if (c == '\n') {
          m_state = State::kHeaders;
          m_strLine.clear();
          m_nContentLength = 0;
          m_bChunked = false;
        } else if (c == ' ') {
          ++m_nSpaces;
        } else if (c == '?' && m_nSpaces == 1) {
          if (m_bQuery) {
            out += "%3F";
            continue;
          }
          m_bQuery = true;
        }
        out += c;
        break;
      case State::kHeaders:
        out += c;
        if (c == '\n') {
          EndHeaderLine();
        } else if (m_strLine.size() < 8192) {
          m_strLine += c;
        }
        break;
    }
  }
}

void CRequestLineMender::EndHeaderLine() {
  std::string line = m_strLine;
  m_strLine.clear();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!line.empty()) {
    const size_t colon = line.find(':');
    const std::string name = AsciiLower(line.substr(0, colon));
    const std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
    if (name == "content-length") m_nContentLength = std::max(0LL, std::atoll(value.c_str()));
    if (name == "transfer-encoding") m_bChunked = true;
    return;
  }
  // The blank line: the body, if any, then the next request.
  m_nSpaces = 0;
  m_bQuery = false;
  if (m_bChunked) {
    m_state = State::kPassThrough;
  } else if (m_nContentLength > 0) {
    m_nBodyLeft = m_nContentLength;
    m_state = State::kBody;
  } else {
    m_state = State::kRequestLine;
  }
}
