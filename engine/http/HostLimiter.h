#pragma once
// How many connections the whole program holds to one host (scheme, host
// and port) at once. Probes, length requests and block connections of every
// task ask here before they connect, so a small host is never handed more
// than it can take. A host that answers "busy" teaches us a lower limit for
// the rest of the run; a quiet minute lets it rise again by one.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct UrlParts;

class HostLimiter {
 public:
  using Clock = std::function<long long()>;  // milliseconds, steady
  static constexpr int kMinLimit = 1;
  static constexpr int kMaxLimit = 16;
  static constexpr int kDefaultLimit = 6;
  static constexpr long long kRiseAfterMs = 60 * 1000;
  // A connection of ours still counts for a while after we closed it (its
  // settle time): the host counts it until it has seen the close, and
  // refuses one put in its place before then. A host that turns out slower
  // to see closes gets twice the time, up to the longest.
  static constexpr long long kSettleMs = 50;
  static constexpr long long kLongestSettleMs = 400;

  // The program's one limiter.
  static HostLimiter& Instance();
  // The name a target host is counted under: "scheme://host:port", the
  // host in lower case. Through a proxy it is still the target's.
  static std::string KeyFor(const UrlParts& target);

  explicit HostLimiter(Clock clock = {});
  HostLimiter(const HostLimiter&) = delete;
  HostLimiter& operator=(const HostLimiter&) = delete;

  // MP3.ini's ceiling, clamped to 1..16; a learned limit never passes it.
  void SetCeiling(int n);
  int Ceiling() const;

  // One held connection; releases itself when destroyed or moved over.
  class Permit {
   public:
    Permit() = default;
    ~Permit() { Release(); }
    Permit(Permit&& other) noexcept { *this = std::move(other); }
    Permit& operator=(Permit&& other) noexcept;
    Permit(const Permit&) = delete;
    Permit& operator=(const Permit&) = delete;
    bool Held() const { return m_limiter != nullptr; }
    const std::string& Host() const { return m_host; }
    // The connection on this permit has just been closed: the permit's
    // place comes free (or carries the next connection) once the host can
    // have seen that.
    void NoteClosed();
    // Waits until the last connection on this permit has settled, so the
    // permit can carry a new one; false when `stopped` said so first.
    bool AwaitSettled(const std::function<bool()>& stopped);
    // Another owner is queued for this host holding fewer connections than
    // this permit's owner: a connection of ours that comes free goes back
    // rather than on to our next request.
    bool Owed() const;
    void Release();

   private:
    friend class HostLimiter;
    HostLimiter* m_limiter = nullptr;
    std::string m_host;
    const void* m_owner = nullptr;
    long long m_closedMs = -1;  // see NoteClosed
  };

  // Waits until `host` has room, then counts a connection for `owner` (a
  // task or job: owners that hold fewer connections to the host go first,
  // so every waiting task gets one before any gets a second). Returns false
  // without a permit when `stopped` says so first (asked every moment
  // while waiting; empty: never). `onWait` is called once when the caller
  // has to wait, so it can say so.
  bool Acquire(const std::string& host, const void* owner, const std::function<bool()>& stopped,
               Permit& out, const std::function<void()>& onWait = {});
  // Never waits: a permit when there is room and nobody is queued.
  bool TryAcquire(const std::string& host, const void* owner, Permit& out);

  // The host said "busy" (503/429, or refused a connect while we held
  // others) to a connection that is still counted. Of the connections it
  // counts (see Held), the ones it refused within the settle time were past
  // its limit and the rest within it: that many, at least one, it allows
  // from now on. But when a place of ours came free by settling within the
  // last second, the host may not have seen that close yet: while its
  // settle time is not yet the longest, that doubles, and the limit taught
  // is at least two.
  void NoteBusy(const std::string& host);
  // Connections to `host` the host counts now: open ones and those closed
  // too recently to have settled. And what it is allowed.
  int Held(const std::string& host) const;
  int Limit(const std::string& host) const;
  long long SettleMs(const std::string& host) const;
  // Callers queued for `host` now: a connection kept idle gives way to them.
  int Waiting(const std::string& host) const;

  // Wakes every waiter so it can look at its stop flag again.
  void WakeAll();

 private:
  struct Waiter {
    const void* owner;
    unsigned long long ticket;
  };
  struct HostState {
    int held = 0;
    int learned = 0;  // 0: not learned, the ceiling holds
    long long lastBusyMs = 0;
    long long settleMs = kSettleMs;
    struct Closed {
      long long settledMs;  // when the host can have seen the close
      bool refused;         // it was answered busy: its place was never the host's to give
    };
    std::vector<Closed> settling;
    long long lastSettledMs = -1;     // when a place the host had given came free by settling
    long long settleRaisedMs = -1;    // when settleMs last doubled
    std::vector<long long> refusals;  // busy answers within the settle time
    int refusedOpen = 0;              // refused connections not given back yet
    std::map<const void*, int> byOwner;
    std::vector<Waiter> queue;
  };
  long long Now() const;
  int LimitLocked(HostState& h) const;
  // Open and still settling connections; drops the settled ones.
  int CountLocked(HostState& h) const;
  // Milliseconds until the next closed connection settles; -1: none.
  long long NextSettleLocked(const HostState& h) const;
  bool AwaitSettled(Permit& p, const std::function<bool()>& stopped);
  bool MayTakeLocked(HostState& h, const void* owner, unsigned long long ticket) const;
  void TakeLocked(HostState& h, const std::string& host, const void* owner, Permit& out);
  void Give(const std::string& host, const void* owner, long long closedMs);
  bool Owes(const std::string& host, const void* owner) const;

  Clock m_clock;
  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  mutable std::map<std::string, HostState> m_hosts;
  int m_ceiling = kDefaultLimit;
  unsigned long long m_nextTicket = 0;
};
