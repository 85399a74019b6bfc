#include "engine/http/HttpFraming.h"

#include <strings.h>

#include <cstring>

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

int ReplyStatusCode(const char* header, size_t length) {
  if (length < 12) return 0;
  int code = 0;
  for (size_t i = 9; i < 12; ++i) {
    const char c = header[i];
    if (c < '0' || c > '9') break;
    code = code * 10 + (c - '0');
  }
  return code;
}

int FindHeaderValue(const char* h, size_t len, const char* name, std::string& out, int maxLength) {
  out.clear();
  const size_t nameLen = std::strlen(name);
  if (nameLen == 0) return -1;
  // Header lines start after a CR LF; the status line is never a header.
  for (size_t i = 0; i + 1 < len; ++i) {
    if (h[i] != '\r' || h[i + 1] != '\n') continue;
    size_t s = i + 2;
    if (s + nameLen >= len || strncasecmp(h + s, name, nameLen) != 0 || h[s + nameLen] != ':') continue;
    size_t v = s + nameLen + 1;
    while (v < len && (h[v] == ' ' || h[v] == '\t')) ++v;
    size_t e = v;
    while (e + 1 < len && !(h[e] == '\r' && h[e + 1] == '\n')) ++e;
    if (e + 1 >= len) return 0;  // no CR LF after it: empty value
    size_t n = e - v;
    if (maxLength < 0) maxLength = 0;
    if (n > static_cast<size_t>(maxLength)) n = static_cast<size_t>(maxLength);
    out.assign(h + v, n);
    return static_cast<int>(n);
  }
  return -1;
}
