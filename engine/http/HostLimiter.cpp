#include "engine/http/HostLimiter.h"

#include <algorithm>
#include <cctype>

#include "engine/http/Url.h"

namespace {
long long SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
// A stop flag is looked at this often while waiting, so Stop and Ctrl-C end
// a wait at once without every stopper having to know the limiter.
constexpr auto kStopPoll = std::chrono::milliseconds(50);
// A busy answer this soon after a place of ours came free by settling is
// put down to a close the host had not seen yet.
constexpr long long kLatelyMs = 1000;
}  // namespace

HostLimiter& HostLimiter::Instance() {
  // Never destroyed: a block thread a stopped job left to end by itself may
  // still ask it while the process exits.
  static HostLimiter* limiter = new HostLimiter;
  return *limiter;
}

HostLimiter::HostLimiter(Clock clock) : m_clock(std::move(clock)) {}

long long HostLimiter::Now() const { return m_clock ? m_clock() : SteadyMs(); }

void HostLimiter::SetCeiling(int n) {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_ceiling = std::clamp(n, kMinLimit, kMaxLimit);
  }
  m_changed.notify_all();
}

int HostLimiter::Ceiling() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_ceiling;
}

int HostLimiter::LimitLocked(HostState& h) const {
  if (h.learned > 0) {
    // One more connection for every quiet minute since the last busy answer.
    long long now = Now();
    while (h.learned > 0 && now - h.lastBusyMs >= kRiseAfterMs) {
      h.lastBusyMs += kRiseAfterMs;
      if (++h.learned >= m_ceiling) h.learned = 0;
    }
  }
  return h.learned > 0 ? std::min(h.learned, m_ceiling) : m_ceiling;
}

int HostLimiter::CountLocked(HostState& h) const {
  const long long now = Now();
  std::erase_if(h.settling, [&h, now](const HostState::Closed& c) {
    if (c.settledMs > now) return false;
    if (!c.refused) h.lastSettledMs = std::max(h.lastSettledMs, c.settledMs);
    return true;
  });
  return h.held + static_cast<int>(h.settling.size());
}

long long HostLimiter::NextSettleLocked(const HostState& h) const {
  if (h.settling.empty()) return -1;
  long long first = h.settling.front().settledMs;
  for (const HostState::Closed& c : h.settling) first = std::min(first, c.settledMs);
  return std::max(0LL, first - Now());
}

bool HostLimiter::MayTakeLocked(HostState& h, const void* owner, unsigned long long ticket) const {
  int room = LimitLocked(h) - CountLocked(h);
  if (room <= 0) return false;
  // Rank among the queue: fewer connections already held first, then who
  // came first. Only the first `room` of them may take one now.
  auto heldBy = [&h](const void* o) {
    auto it = h.byOwner.find(o);
    return it == h.byOwner.end() ? 0 : it->second;
  };
  int mine = heldBy(owner);
  int ahead = 0;
  for (const Waiter& w : h.queue) {
    if (w.ticket == ticket) continue;
    int theirs = heldBy(w.owner);
    if (theirs < mine || (theirs == mine && w.ticket < ticket)) ++ahead;
  }
  return ahead < room;
}

void HostLimiter::TakeLocked(HostState& h, const std::string& host, const void* owner,
                             Permit& out) {
  out.Release();
  ++h.held;
  ++h.byOwner[owner];
  out.m_limiter = this;
  out.m_host = host;
  out.m_owner = owner;
}

bool HostLimiter::TryAcquire(const std::string& host, const void* owner, Permit& out) {
  std::lock_guard<std::mutex> g(m_lock);
  HostState& h = m_hosts[host];
  if (!h.queue.empty() || LimitLocked(h) - CountLocked(h) <= 0) return false;
  TakeLocked(h, host, owner, out);
  return true;
}

bool HostLimiter::Acquire(const std::string& host, const void* owner,
                          const std::function<bool()>& stopped, Permit& out,
                          const std::function<void()>& onWait) {
  std::unique_lock<std::mutex> g(m_lock);
  HostState* h = &m_hosts[host];
  unsigned long long ticket = ++m_nextTicket;
  h->queue.push_back({owner, ticket});
  bool told = false;
  bool granted = false;
  for (;;) {
    if (stopped) {
      // The caller's flag may take its own locks.
      g.unlock();
      const bool stop = stopped();
      g.lock();
      h = &m_hosts[host];
      if (stop) break;
    }
    if (MayTakeLocked(*h, owner, ticket)) {
      granted = true;
      break;
    }
    if (!told && onWait) {
      told = true;
      g.unlock();
      onWait();
      g.lock();
      h = &m_hosts[host];
      continue;
    }
    // A closed connection that settles makes room without anyone's call.
    const long long settle = NextSettleLocked(*h);
    m_changed.wait_for(g, settle >= 0 && settle < kStopPoll.count() ? std::chrono::milliseconds(settle + 1)
                                                                    : kStopPoll);
    h = &m_hosts[host];
  }
  h->queue.erase(std::remove_if(h->queue.begin(), h->queue.end(),
                                [ticket](const Waiter& w) { return w.ticket == ticket; }),
                 h->queue.end());
  if (granted) TakeLocked(*h, host, owner, out);
  g.unlock();
  // Leaving the queue may let the next waiter rank high enough to take.
  m_changed.notify_all();
  return granted;
}

void HostLimiter::Give(const std::string& host, const void* owner, long long closedMs) {
  {
    std::lock_guard<std::mutex> g(m_lock);
    HostState& h = m_hosts[host];
    if (h.held > 0) --h.held;
    // A busy answer's connection is the next one we give back: it closes
    // right after the answer.
    const bool refused = h.refusedOpen > 0;
    if (refused) --h.refusedOpen;
    if (closedMs >= 0) h.settling.push_back({closedMs + h.settleMs, refused});
    auto it = h.byOwner.find(owner);
    if (it != h.byOwner.end() && --it->second <= 0) h.byOwner.erase(it);
  }
  m_changed.notify_all();
}

bool HostLimiter::Owes(const std::string& host, const void* owner) const {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_hosts.find(host);
  if (it == m_hosts.end()) return false;
  const HostState& h = it->second;
  auto heldBy = [&h](const void* o) {
    auto found = h.byOwner.find(o);
    return found == h.byOwner.end() ? 0 : found->second;
  };
  const int mine = heldBy(owner);
  for (const Waiter& w : h.queue)
    if (w.owner != owner && heldBy(w.owner) < mine) return true;
  return false;
}

void HostLimiter::NoteBusy(const std::string& host) {
  std::lock_guard<std::mutex> g(m_lock);
  HostState& h = m_hosts[host];
  const long long now = Now();
  const int counted = CountLocked(h);
  std::erase_if(h.refusals, [&h, now](long long at) { return now - at >= h.settleMs; });
  h.refusals.push_back(now);
  h.refusedOpen = std::min(h.refusedOpen + 1, h.held);
  const bool afterSettle = h.lastSettledMs >= 0 && now - h.lastSettledMs <= kLatelyMs;
  // Every busy answer of that moment is put down to the same close.
  const bool sameClose = afterSettle && h.settleRaisedMs >= h.lastSettledMs;
  const bool unseenClose = sameClose || (afterSettle && h.settleMs < kLongestSettleMs);
  if (unseenClose && !sameClose) {
    h.settleMs = std::min(h.settleMs * 2, kLongestSettleMs);
    h.settleRaisedMs = now;
  }
  // One connection would halve what we get from the host for a minute: a
  // close it had not seen never teaches that.
  const int allowed = std::max(unseenClose ? 2 : kMinLimit, counted - static_cast<int>(h.refusals.size()));
  h.learned = std::min(LimitLocked(h), allowed);
  if (h.learned >= m_ceiling) h.learned = 0;
  h.lastBusyMs = now;
}

int HostLimiter::Held(const std::string& host) const {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_hosts.find(host);
  return it == m_hosts.end() ? 0 : CountLocked(it->second);
}

int HostLimiter::Limit(const std::string& host) const {
  std::lock_guard<std::mutex> g(m_lock);
  return LimitLocked(m_hosts[host]);
}

long long HostLimiter::SettleMs(const std::string& host) const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_hosts[host].settleMs;
}

int HostLimiter::Waiting(const std::string& host) const {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_hosts.find(host);
  return it == m_hosts.end() ? 0 : static_cast<int>(it->second.queue.size());
}

std::string HostLimiter::KeyFor(const UrlParts& target) {
  std::string host = target.host;
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return (target.secure ? "https://" : "http://") + host + ":" + std::to_string(target.port);
}

void HostLimiter::WakeAll() { m_changed.notify_all(); }

HostLimiter::Permit& HostLimiter::Permit::operator=(Permit&& other) noexcept {
  if (this != &other) {
    Release();
    m_limiter = other.m_limiter;
    m_host = std::move(other.m_host);
    m_owner = other.m_owner;
    m_closedMs = other.m_closedMs;
    other.m_limiter = nullptr;
    other.m_owner = nullptr;
    other.m_closedMs = -1;
  }
  return *this;
}

bool HostLimiter::Permit::Owed() const { return m_limiter && m_limiter->Owes(m_host, m_owner); }

void HostLimiter::Permit::NoteClosed() {
  if (m_limiter) m_closedMs = m_limiter->Now();
}

bool HostLimiter::Permit::AwaitSettled(const std::function<bool()>& stopped) {
  return !m_limiter || m_limiter->AwaitSettled(*this, stopped);
}

bool HostLimiter::AwaitSettled(Permit& p, const std::function<bool()>& stopped) {
  if (p.m_closedMs < 0) return true;
  std::unique_lock<std::mutex> g(m_lock);
  for (;;) {
    if (stopped) {
      g.unlock();
      const bool stop = stopped();
      g.lock();
      if (stop) return false;
    }
    HostState& h = m_hosts[p.m_host];
    const long long end = p.m_closedMs + h.settleMs;
    const long long left = end - Now();
    if (left <= 0) {
      h.lastSettledMs = std::max(h.lastSettledMs, end);
      break;
    }
    m_changed.wait_for(g, std::min(std::chrono::milliseconds(left), kStopPoll));
  }
  p.m_closedMs = -1;
  return true;
}

void HostLimiter::Permit::Release() {
  if (!m_limiter) return;
  HostLimiter* limiter = m_limiter;
  m_limiter = nullptr;
  limiter->Give(m_host, m_owner, m_closedMs);
  m_host.clear();
  m_owner = nullptr;
  m_closedMs = -1;
}
