#pragma once
// A host that answers 503 or 429 is busy, not dead: the request waits and
// asks again. This keeps the wait of one request: what the host asked for
// (Retry-After, capped), else 2 s doubling up to 30 s, and how many busy
// answers came in a row, so a host that never frees up still ends as a
// failed link.
#include <ctime>
#include <string>

// Seconds a Retry-After value asks for (delay-seconds or an HTTP date,
// counted from `now`); -1 when the value says neither.
int ParseRetryAfter(const std::string& value, std::time_t now);

class BusyWait {
 public:
  static constexpr int kMaxInARow = 10;
  static constexpr int kCapSeconds = 120;
  static constexpr int kFirstMs = 2000;
  static constexpr int kLongestMs = 30000;

  // One more busy answer; the milliseconds to wait before asking again.
  // retryAfterSeconds is -1 when the answer named no time.
  int Next(int retryAfterSeconds);
  // An answer that was not busy: the next busy one starts over.
  void Reset() { m_inARow = 0; m_backoffMs = 0; }
  // Busy answers in a row so far; at kMaxInARow the link counts as failed.
  int InARow() const { return m_inARow; }
  bool GivenUp() const { return m_inARow >= kMaxInARow; }

 private:
  int m_inARow = 0;
  int m_backoffMs = 0;
};
