#include "engine/TextRules.h"

#include <climits>

namespace {

constexpr std::string_view kSpaceAndTab = " \t";

char LowerByte(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperByte(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool IsWhiteSpace(char c) { return kWhiteSpaceChars.find(c) != std::string_view::npos; }

bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimChars(std::string_view text, std::string_view chars) {
  const size_t first = text.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(chars) - first + 1);
}

std::string TrimWhiteSpace(std::string_view text) { return std::string(TrimChars(text, kWhiteSpaceChars)); }

std::string TrimSpacesAndTabs(std::string_view text) { return std::string(TrimChars(text, kSpaceAndTab)); }

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerByte(c);
  return out;
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperByte(c);
  return out;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerByte(a[i]) != LowerByte(b[i])) return false;
  return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameTextIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool IsUnreservedUrlByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::string PercentEscape(std::string_view text, bool (*escape)(unsigned char c)) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (escape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

long long LeadingDigits(std::string_view text) {
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    if (v > (LLONG_MAX - 9) / 10) return LLONG_MAX;
    v = v * 10 + (c - '0');
  }
  return v;
}

int LeadingInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsWhiteSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > INT_MAX) v = INT_MAX;
  }
  return static_cast<int>(negative ? -v : v);
}
