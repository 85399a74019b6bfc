#include "server/UrlCodec.h"

#include "engine/http/HexDigit.h"

namespace {

const char kHex[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

}  // namespace

std::string PercentDecode(std::string_view s, bool plusIsBlank) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '%' && i + 2 < s.size()) {
      int hi = HexDigitValue(s[i + 1]);
      int lo = HexDigitValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += (plusIsBlank && c == '+') ? ' ' : c;
  }
  return out;
}

std::string PercentEncodePath(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      AppendEscaped(out, c);
    }
  }
  return out;
}

std::string PercentEncodeQuery(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x80 || c <= 0x20 || c == '%' || c == '&' || c == '+' || c == '#' || c == '"' ||
        c == '<' || c == '>' || c == 0x7F) {
      AppendEscaped(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string HtmlEscape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string RawQueryValue(std::string_view target, std::string_view key, bool* found) {
  if (found) *found = false;
  size_t q = target.find('?');
  if (q == std::string_view::npos) return std::string();
  std::string_view query = target.substr(q + 1);
  size_t hash = query.find('#');
  if (hash != std::string_view::npos) query = query.substr(0, hash);
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    size_t eq = pair.find('=');
    std::string_view name = pair.substr(0, eq);
    if (name == key) {
      if (found) *found = true;
      return eq == std::string_view::npos ? std::string() : std::string(pair.substr(eq + 1));
    }
    if (amp == std::string_view::npos) break;
    query = query.substr(amp + 1);
  }
  return std::string();
}
