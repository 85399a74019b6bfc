#include "engine/http/BusyWait.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/TextRules.h"

namespace {
bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!std::isdigit(c)) return false;
  return true;
}

// The three date forms HTTP allows; all are GMT.
bool ParseHttpDate(const std::string& s, std::time_t& out) {
  static const char* const kForms[] = {
      "%a, %d %b %Y %H:%M:%S GMT",  // Sun, 06 Nov 1994 08:49:37 GMT
      "%A, %d-%b-%y %H:%M:%S GMT",  // Sunday, 06-Nov-94 08:49:37 GMT
      "%a %b %d %H:%M:%S %Y",       // Sun Nov  6 08:49:37 1994
  };
  for (const char* form : kForms) {
    std::tm tm{};
    const char* end = strptime(s.c_str(), form, &tm);
    if (end && *end == '\0') {
      out = timegm(&tm);
      return out != static_cast<std::time_t>(-1);
    }
  }
  return false;
}
}  // namespace

int ParseRetryAfter(const std::string& value, std::time_t now) {
  std::string v = TrimSpacesAndTabs(value);
  if (AllDigits(v)) {
    // Anything past the cap waits the cap; no overflow from a long number.
    if (v.size() > 6) return BusyWait::kCapSeconds;
    return std::stoi(v);
  }
  std::time_t when;
  if (!ParseHttpDate(v, when)) return -1;
  if (when <= now) return 0;
  long long d = static_cast<long long>(when - now);
  return static_cast<int>(std::min<long long>(d, BusyWait::kCapSeconds));
}

int BusyWait::Next(int retryAfterSeconds) {
  ++m_inARow;
  // A "0" still waits a moment: asking again at once is what a busy host
  // least needs.
  if (retryAfterSeconds >= 0) return std::clamp(retryAfterSeconds, 1, kCapSeconds) * 1000;
  m_backoffMs = m_backoffMs == 0 ? kFirstMs : std::min(m_backoffMs * 2, kLongestMs);
  return m_backoffMs;
}
