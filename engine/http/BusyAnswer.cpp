#include "engine/http/BusyAnswer.h"

#include <chrono>
#include <ctime>

#include "engine/http/HostLimiter.h"
#include "res/Texts.h"

namespace {
// A stop flag that nobody wakes us for is still looked at this often.
constexpr auto kStopPoll = std::chrono::milliseconds(50);
}  // namespace

void BusyAnswer::Busy(const std::string& hostKey, int retryAfterSeconds) {
  if (!hostKey.empty()) HostLimiter::Instance().NoteBusy(hostKey);
  m_nWaitMs = m_wait.Next(retryAfterSeconds);
}

bool BusyAnswer::Reply(int status, const std::string& retryAfter, const std::string& hostKey) {
  if (!IsBusyStatus(status)) {
    Reset();
    return false;
  }
  Busy(hostKey, retryAfter.empty() ? -1 : ParseRetryAfter(retryAfter, std::time(nullptr)));
  return true;
}

bool BusyAnswer::Refused(const std::string& hostKey) {
  const int held = hostKey.empty() ? 0 : HostLimiter::Instance().Held(hostKey);
  if (held < 2) return false;
  Busy(hostKey, -1);
  return true;
}

std::string BusyAnswer::Text() const {
  std::string text = txt::kHostBusyRetry;
  const size_t at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string((m_nWaitMs + 999) / 1000));
  return text;
}

bool BusyAnswer::Wait(const std::function<bool()>& stopped) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_nWaitMs < 0 ? 0 : m_nWaitMs);
  m_nWaitMs = -1;
  std::unique_lock<std::mutex> g(m_lock);
  for (;;) {
    // The flag may take locks of its own.
    g.unlock();
    const bool stop = stopped && stopped();
    g.lock();
    if (stop) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return true;
    m_wake.wait_for(g, std::min<std::chrono::steady_clock::duration>(until - now, kStopPoll));
  }
}

void BusyAnswer::Wake() {
  std::lock_guard<std::mutex> g(m_lock);
  m_wake.notify_all();
}
