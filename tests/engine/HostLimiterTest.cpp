// The program-wide connection limit per host, and the wait after a busy
// answer: who gets a free connection, what a busy host teaches us, and that
// a stop ends a wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "engine/http/BusyAnswer.h"
#include "engine/http/BusyWait.h"
#include "engine/http/HostLimiter.h"

namespace {
const std::string kHost = "http://songs.test:80";

struct FakeClock {
  long long ms = 1000000;
  HostLimiter::Clock Fn() {
    return [this] { return ms; };
  }
};

// Waits (bounded) until `cond` holds.
template <class F>
bool WaitFor(F cond) {
  for (int i = 0; i < 500; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}
}  // namespace

TEST(HostLimiter, NeverHandsOutMoreThanTheLimitAndReleasingFreesOne) {
  HostLimiter lim;
  lim.SetCeiling(2);
  int a = 0, b = 0;
  HostLimiter::Permit p1, p2, p3;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, p1));
  ASSERT_TRUE(lim.TryAcquire(kHost, &b, p2));
  EXPECT_FALSE(lim.TryAcquire(kHost, &a, p3));
  EXPECT_FALSE(p3.Held());
  // Another host is counted on its own.
  HostLimiter::Permit other;
  EXPECT_TRUE(lim.TryAcquire("https://songs.test:443", &a, other));
  p1.Release();
  EXPECT_EQ(lim.Held(kHost), 1);
  EXPECT_TRUE(lim.TryAcquire(kHost, &a, p3));
  // A moved permit is released once, by its new holder.
  HostLimiter::Permit moved = std::move(p3);
  EXPECT_FALSE(p3.Held());
  EXPECT_EQ(lim.Held(kHost), 2);
  moved.Release();
  EXPECT_EQ(lim.Held(kHost), 1);
}

TEST(HostLimiter, CeilingIsClampedToOneToSixteen) {
  HostLimiter lim;
  lim.SetCeiling(0);
  EXPECT_EQ(lim.Ceiling(), 1);
  lim.SetCeiling(99);
  EXPECT_EQ(lim.Ceiling(), 16);
}

TEST(HostLimiter, AWaitingTaskWithNoConnectionGoesBeforeOneThatHasOne) {
  HostLimiter lim;
  lim.SetCeiling(2);
  int first = 0, second = 0;
  HostLimiter::Permit a1, a2;
  ASSERT_TRUE(lim.TryAcquire(kHost, &first, a1));
  ASSERT_TRUE(lim.TryAcquire(kHost, &first, a2));
  std::atomic<int> order{0};
  std::atomic<int> firstGot{0}, secondGot{0};
  std::atomic<bool> firstWaiting{false};
  HostLimiter::Permit f3, s1;
  // The first task asks for a third connection before the second task asks
  // for its first; the freed connection still goes to the second task.
  std::thread t1([&] {
    lim.Acquire(kHost, &first, nullptr, f3, [&] { firstWaiting = true; });
    firstGot = ++order;
  });
  ASSERT_TRUE(WaitFor([&] { return firstWaiting.load(); }));
  std::atomic<bool> secondWaiting{false};
  std::thread t2([&] {
    lim.Acquire(kHost, &second, nullptr, s1, [&] { secondWaiting = true; });
    secondGot = ++order;
  });
  ASSERT_TRUE(WaitFor([&] { return secondWaiting.load(); }));
  a1.Release();
  ASSERT_TRUE(WaitFor([&] { return secondGot.load() != 0; }));
  EXPECT_EQ(firstGot.load(), 0);
  a2.Release();
  t2.join();
  t1.join();
  EXPECT_EQ(secondGot.load(), 1);
  EXPECT_EQ(firstGot.load(), 2);
  EXPECT_EQ(lim.Held(kHost), 2);
}

TEST(HostLimiter, AStopEndsAWaitWithoutAPermit) {
  HostLimiter lim;
  lim.SetCeiling(1);
  int a = 0, b = 0;
  HostLimiter::Permit held, wanted;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, held));
  std::atomic<bool> stop{false};
  std::atomic<bool> waiting{false}, done{false}, got{true};
  std::thread t([&] {
    got = lim.Acquire(kHost, &b, [&] { return stop.load(); }, wanted, [&] { waiting = true; });
    done = true;
  });
  ASSERT_TRUE(WaitFor([&] { return waiting.load(); }));
  stop = true;
  lim.WakeAll();
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  t.join();
  EXPECT_FALSE(got.load());
  EXPECT_FALSE(wanted.Held());
  EXPECT_EQ(lim.Held(kHost), 1);
  // The queue forgot the stopped waiter: the next asker is not held back.
  held.Release();
  HostLimiter::Permit next;
  EXPECT_TRUE(lim.TryAcquire(kHost, &a, next));
}

TEST(HostLimiter, ABusyHostAllowsOneFewerThanWereOpenAndRisesAfterAQuietMinute) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  lim.SetCeiling(6);
  lim.NoteBusy(kHost, 3);  // two were open, the third was refused
  EXPECT_EQ(lim.Limit(kHost), 2);
  // A later busy answer never raises it.
  lim.NoteBusy(kHost, 5);
  EXPECT_EQ(lim.Limit(kHost), 2);
  clock.ms += HostLimiter::kRiseAfterMs - 1;
  EXPECT_EQ(lim.Limit(kHost), 2);
  clock.ms += 1;
  EXPECT_EQ(lim.Limit(kHost), 3);
  clock.ms += 10 * HostLimiter::kRiseAfterMs;
  EXPECT_EQ(lim.Limit(kHost), 6);  // never above the ceiling
  lim.NoteBusy(kHost, 1);
  EXPECT_EQ(lim.Limit(kHost), 1);  // never below one
  lim.SetCeiling(1);
  EXPECT_EQ(lim.Limit(kHost), 1);
}

TEST(HostLimiter, ALearnedLimitHoldsBackNewConnections) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  int a = 0;
  HostLimiter::Permit p1, p2;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, p1));
  lim.NoteBusy(kHost, 2);
  EXPECT_FALSE(lim.TryAcquire(kHost, &a, p2));
  p1.Release();
  EXPECT_TRUE(lim.TryAcquire(kHost, &a, p2));
}

TEST(RetryAfter, ReadsSecondsAndHttpDatesCappedAtTwoMinutes) {
  std::time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(ParseRetryAfter("1", now), 1);
  EXPECT_EQ(ParseRetryAfter(" 7 ", now), 7);
  EXPECT_EQ(ParseRetryAfter("0", now), 0);
  EXPECT_EQ(ParseRetryAfter("99999999999999999999", now), BusyWait::kCapSeconds);
  EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:49:47 GMT", now), 10);
  EXPECT_EQ(ParseRetryAfter("Sunday, 06-Nov-94 08:49:42 GMT", now), 5);
  EXPECT_EQ(ParseRetryAfter("Sun Nov  6 08:49:40 1994", now), 3);
  EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 09:49:37 GMT", now), BusyWait::kCapSeconds);
  EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:00:00 GMT", now), 0);  // already past
  EXPECT_EQ(ParseRetryAfter("", now), -1);
  EXPECT_EQ(ParseRetryAfter("-5", now), -1);
  EXPECT_EQ(ParseRetryAfter("soon", now), -1);
  EXPECT_EQ(ParseRetryAfter("5s", now), -1);
}

TEST(BusyWait, DoublesFromTwoSecondsToThirtyAndGivesUpAfterTenInARow) {
  BusyWait w;
  int expected[] = {2000, 4000, 8000, 16000, 30000, 30000};
  for (int ms : expected) EXPECT_EQ(w.Next(-1), ms);
  EXPECT_FALSE(w.GivenUp());
  EXPECT_EQ(w.Next(3), 3000);     // the host's word wins
  EXPECT_EQ(w.Next(0), 1000);     // but never at once
  EXPECT_EQ(w.Next(500), 120000); // and never past two minutes
  EXPECT_FALSE(w.GivenUp());
  w.Next(-1);
  EXPECT_TRUE(w.GivenUp());
  w.Reset();
  EXPECT_EQ(w.InARow(), 0);
  EXPECT_EQ(w.Next(-1), 2000);
}

TEST(HostLimiter, AConnectionClosedAMomentAgoStillCountsAsHeldLately) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  int a = 0;
  EXPECT_EQ(lim.HeldLately(kHost, 1000), 0);
  HostLimiter::Permit p;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, p));
  EXPECT_EQ(lim.HeldLately(kHost, 1000), 1);
  p.Release();
  // The host may not have seen the close yet.
  EXPECT_EQ(lim.HeldLately(kHost, 1000), 1);
  clock.ms += 1001;
  EXPECT_EQ(lim.HeldLately(kHost, 1000), 0);
}

// A host counts a connection until it sees the close: the replacement for
// one of ours that just ended can meet a busy answer from a host of two.
// That must not teach a limit of one; a busy answer with no close of ours
// just before still does, and more than two open teach one fewer as ever.
TEST(BusyAnswer, ABusyAnswerRightAfterACloseOfOursDoesNotTeachALimitOfOne) {
  HostLimiter& lim = HostLimiter::Instance();
  int a = 0, b = 0;
  {
    const std::string host = "http://busy-after-close.test:80";
    HostLimiter::Permit first, second, third;
    ASSERT_TRUE(lim.TryAcquire(host, &a, first));
    ASSERT_TRUE(lim.TryAcquire(host, &b, second));
    first.Release();
    ASSERT_TRUE(lim.TryAcquire(host, &a, third));
    BusyAnswer busy;
    EXPECT_TRUE(busy.Reply(503, "1", host));
    EXPECT_EQ(lim.Limit(host), 2);
  }
  {
    // Two of ours ended at once; the host, not having seen either close,
    // refuses our only connection.
    const std::string host = "http://busy-only-one.test:80";
    HostLimiter::Permit p1, p2, now;
    ASSERT_TRUE(lim.TryAcquire(host, &a, p1));
    ASSERT_TRUE(lim.TryAcquire(host, &b, p2));
    p1.Release();
    p2.Release();
    ASSERT_TRUE(lim.TryAcquire(host, &a, now));
    BusyAnswer busy;
    EXPECT_TRUE(busy.Reply(503, "1", host));
    EXPECT_EQ(lim.Limit(host), 2);
  }
  {
    const std::string host = "http://busy-no-close.test:80";
    HostLimiter::Permit p1, p2;
    ASSERT_TRUE(lim.TryAcquire(host, &a, p1));
    ASSERT_TRUE(lim.TryAcquire(host, &b, p2));
    BusyAnswer busy;
    EXPECT_TRUE(busy.Reply(503, "", host));
    EXPECT_EQ(lim.Limit(host), 1);
  }
  {
    const std::string host = "http://busy-churn.test:80";
    HostLimiter::Permit p1, p2, p3, gone;
    ASSERT_TRUE(lim.TryAcquire(host, &a, gone));
    gone.Release();
    ASSERT_TRUE(lim.TryAcquire(host, &a, p1));
    ASSERT_TRUE(lim.TryAcquire(host, &a, p2));
    ASSERT_TRUE(lim.TryAcquire(host, &b, p3));
    BusyAnswer busy;
    EXPECT_TRUE(busy.Reply(429, "", host));
    EXPECT_EQ(lim.Limit(host), 2);
    // Any other answer is not busy and teaches nothing.
    EXPECT_FALSE(busy.Reply(200, "", host));
    EXPECT_EQ(lim.Limit(host), 2);
  }
}
