#pragma once
// What a request does with a host that has no room for it: a 503 or 429
// answer, or a connection the host refused or reset before any reply while
// we held others to it. Either is busy, not dead: the host learns a lower
// limit (HostLimiter), the request waits what the host asked for (or backs
// off) and asks again, costing no attempt. Only a host busy ten times in a
// row ends the request as failed.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "engine/http/BusyWait.h"

class BusyAnswer {
 public:
  static bool IsBusyStatus(int status) { return status == 503 || status == 429; }

  // A reply has come from `hostKey` with this status and Retry-After value
  // ("" when none), our connection to it still counted. True when it was
  // busy; any other reply starts the count of busy answers over.
  bool Reply(int status, const std::string& retryAfter, const std::string& hostKey);
  // A connection to `hostKey` (still counted) was refused or reset before
  // any reply. True when others to that host were open, so it counts as
  // busy; a host nobody else is talking to is simply unreachable.
  bool Refused(const std::string& hostKey);

  // A new request: no busy answers so far.
  void Reset() {
    m_wait.Reset();
    m_nWaitMs = -1;
  }
  // The last busy answer has not been waited out yet.
  bool Pending() const { return m_nWaitMs >= 0; }
  // Ten in a row: the request counts as failed.
  bool GivenUp() const { return m_wait.GivenUp(); }
  int InARow() const { return m_wait.InARow(); }
  // The user's text for the pending wait (UTF-8): "服务器繁忙,%d秒后重试...".
  std::string Text() const;
  // Waits out the pending busy answer; false when `stopped` said so first
  // (asked again whenever Wake is called, and every moment besides).
  bool Wait(const std::function<bool()>& stopped);
  // Any thread: a waiter looks at its stop flag now.
  void Wake();

 private:
  void Busy(const std::string& hostKey, int retryAfterSeconds);

  BusyWait m_wait;
  int m_nWaitMs = -1;
  std::mutex m_lock;
  std::condition_variable m_wake;
};
