#include "engine/HttpFraming.h"

#include <strings.h>

#include <vector>

#include "engine/TextRules.h"

namespace {

// Whole text of decimal digits, at most 18 of them so it fits.
bool ReadNumber(const std::string& s, long long& v) {
  if (s.empty() || s.size() > 18) return false;
  long long n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  v = n;
  return true;
}

std::vector<std::string> Tokens(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    std::string t = TrimSpacesAndTabs(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!t.empty()) out.push_back(t);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

}  // namespace

bool ParseContentLength(const std::string& value, long long& length) {
  return ReadNumber(TrimSpacesAndTabs(value), length);
}

bool ParseContentRange(const std::string& value, ContentRange& range) {
  std::string v = TrimSpacesAndTabs(value);
  if (v.size() < 6 || strncasecmp(v.c_str(), "bytes", 5) != 0) return false;
  if (v[5] != ' ' && v[5] != '=') return false;
  v = TrimSpacesAndTabs(v.substr(6));
  const size_t dash = v.find('-');
  const size_t slash = v.find('/');
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
  ContentRange r;
  if (!ReadNumber(v.substr(0, dash), r.first) || !ReadNumber(v.substr(dash + 1, slash - dash - 1), r.last))
    return false;
  const std::string total = v.substr(slash + 1);
  if (total == "*") {
    r.total = -1;
  } else if (!ReadNumber(total, r.total) || r.last >= r.total) {
    return false;
  }
  if (r.first > r.last) return false;
  range = r;
  return true;
}

BodyCoding ReadBodyCoding(const std::string& transferEncoding, const std::string& contentEncoding) {
  for (const std::string& t : Tokens(contentEncoding))
    if (strcasecmp(t.c_str(), "identity") != 0) return BodyCoding::kUnsupported;
  bool chunked = false;
  for (const std::string& t : Tokens(transferEncoding)) {
    if (strcasecmp(t.c_str(), "identity") == 0) continue;
    // Anything but chunked (once) compresses or is unknown to us.
    if (strcasecmp(t.c_str(), "chunked") == 0 && !chunked) {
      chunked = true;
      continue;
    }
    return BodyCoding::kUnsupported;
  }
  return chunked ? BodyCoding::kChunked : BodyCoding::kIdentity;
}
