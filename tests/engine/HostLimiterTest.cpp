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
  std::atomic<long long> ms{1000000};  // moved by the test while a waiter reads it
  HostLimiter::Clock Fn() {
    return [this] { return ms.load(); };
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

TEST(HostLimiter, ABusyHostAllowsTheConnectionsItDidNotRefuseAndRisesAfterAQuietMinute) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  lim.SetCeiling(6);
  int a = 0;
  {
    // Two were open, the third was refused.
    HostLimiter::Permit p1, p2, p3;
    ASSERT_TRUE(lim.TryAcquire(kHost, &a, p1));
    ASSERT_TRUE(lim.TryAcquire(kHost, &a, p2));
    ASSERT_TRUE(lim.TryAcquire(kHost, &a, p3));
    lim.NoteBusy(kHost);
    EXPECT_EQ(lim.Limit(kHost), 2);
  }
  {
    // A later one counts again: one open, one refused.
    clock.ms += HostLimiter::kLongestSettleMs;
    HostLimiter::Permit p1, p2;
    ASSERT_TRUE(lim.TryAcquire(kHost, &a, p1));
    ASSERT_TRUE(lim.TryAcquire(kHost, &a, p2));
    lim.NoteBusy(kHost);
    EXPECT_EQ(lim.Limit(kHost), 1);
  }
  clock.ms += HostLimiter::kRiseAfterMs - 1;
  EXPECT_EQ(lim.Limit(kHost), 1);
  clock.ms += 1;
  EXPECT_EQ(lim.Limit(kHost), 2);
  clock.ms += 10 * HostLimiter::kRiseAfterMs;
  EXPECT_EQ(lim.Limit(kHost), 6);  // never above the ceiling
  lim.NoteBusy(kHost);
  EXPECT_EQ(lim.Limit(kHost), 1);  // never below one, even with nothing counted
  lim.SetCeiling(1);
  EXPECT_EQ(lim.Limit(kHost), 1);
}

// Six connections asked at once, four refused before any of them closed:
// each refusal sees all six still counted, and the host still teaches two.
TEST(HostLimiter, RefusalsOfOneMomentTeachTheLimitTogether) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  lim.SetCeiling(6);
  int owners[6] = {};
  HostLimiter::Permit p[6];
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(lim.TryAcquire(kHost, &owners[i], p[i]));
  for (int i = 2; i < 6; ++i) {
    lim.NoteBusy(kHost);
    clock.ms += 1;
  }
  EXPECT_EQ(lim.Limit(kHost), 2);
  // The refused ones close; while they settle nobody new gets in.
  for (int i = 2; i < 6; ++i) {
    p[i].NoteClosed();
    p[i].Release();
  }
  HostLimiter::Permit more;
  EXPECT_FALSE(lim.TryAcquire(kHost, &owners[2], more));
  // Refusals far apart each count on their own.
  clock.ms += HostLimiter::kLongestSettleMs;
  EXPECT_EQ(lim.Held(kHost), 2);
  lim.NoteBusy(kHost);
  EXPECT_EQ(lim.Limit(kHost), 1);
}

TEST(HostLimiter, ALearnedLimitHoldsBackNewConnections) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  int a = 0;
  HostLimiter::Permit p1, p2;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, p1));
  lim.NoteBusy(kHost);
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

// A host counts our connection until it has seen us close it: the place
// comes free for someone else only after the settle time, while a permit
// that never carried a connection frees its place at once.
TEST(HostLimiter, AClosedConnectionsPlaceComesFreeOnlyOnceItHasSettled) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  lim.SetCeiling(1);
  int a = 0, b = 0;
  HostLimiter::Permit p;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, p));
  p.Release();  // never connected
  EXPECT_EQ(lim.Held(kHost), 0);
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, p));
  p.NoteClosed();
  p.Release();
  EXPECT_EQ(lim.Held(kHost), 1);
  HostLimiter::Permit next;
  EXPECT_FALSE(lim.TryAcquire(kHost, &b, next));
  // A waiter is let in once the time has passed, without anyone's call.
  std::atomic<bool> waiting{false}, got{false};
  std::thread t([&] {
    got = lim.Acquire(kHost, &b, nullptr, next, [&] { waiting = true; });
  });
  ASSERT_TRUE(WaitFor([&] { return waiting.load(); }));
  clock.ms += HostLimiter::kSettleMs - 1;
  EXPECT_EQ(lim.Held(kHost), 1);
  EXPECT_FALSE(got.load());
  clock.ms += 1;
  ASSERT_TRUE(WaitFor([&] { return got.load(); }));
  t.join();
  EXPECT_TRUE(next.Held());
  EXPECT_EQ(lim.Held(kHost), 1);
}

// A permit kept for the next connection of the same owner carries it only
// once the last one has settled; a stop ends that wait too.
TEST(HostLimiter, AKeptPermitCarriesTheNextConnectionOnlyOnceTheLastHasSettled) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  int a = 0;
  HostLimiter::Permit p;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, p));
  EXPECT_TRUE(p.AwaitSettled(nullptr));  // nothing closed on it yet
  p.NoteClosed();
  std::atomic<bool> stop{false}, done{false}, settled{true};
  std::thread t([&] {
    settled = p.AwaitSettled([&] { return stop.load(); });
    done = true;
  });
  stop = true;
  lim.WakeAll();
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  t.join();
  EXPECT_FALSE(settled.load());
  done = false;
  std::thread u([&] {
    settled = p.AwaitSettled(nullptr);
    done = true;
  });
  clock.ms += HostLimiter::kSettleMs;
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  u.join();
  EXPECT_TRUE(settled.load());
  EXPECT_TRUE(p.Held());
  EXPECT_EQ(lim.Held(kHost), 1);
}

// A refusal right after one of our places came free by settling may say
// the host had not seen that close: the settle time doubles, and the limit
// taught is never one. Once the settle time is the longest, such a refusal
// teaches the limit as any other.
TEST(HostLimiter, ARefusalRightAfterASettleLengthensTheSettleTimeAndNeverTeachesOne) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  lim.SetCeiling(2);
  int a = 0, b = 0;
  HostLimiter::Permit keep;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, keep));
  long long settle = HostLimiter::kSettleMs;
  for (int round = 0; settle < HostLimiter::kLongestSettleMs; ++round) {
    ASSERT_LT(round, 10);
    EXPECT_EQ(lim.SettleMs(kHost), settle);
    HostLimiter::Permit gone, refused, alsoRefused;
    ASSERT_TRUE(lim.TryAcquire(kHost, &b, gone));
    gone.NoteClosed();
    gone.Release();
    clock.ms += settle;
    ASSERT_TRUE(lim.TryAcquire(kHost, &b, refused));
    lim.NoteBusy(kHost);
    settle = std::min(settle * 2, HostLimiter::kLongestSettleMs);
    EXPECT_EQ(lim.SettleMs(kHost), settle);
    EXPECT_EQ(lim.Limit(kHost), 2);
    // The other refusals of that moment put down to the same close: one doubling.
    refused.Release();
    ASSERT_TRUE(lim.TryAcquire(kHost, &b, alsoRefused));
    lim.NoteBusy(kHost);
    EXPECT_EQ(lim.SettleMs(kHost), settle);
    EXPECT_EQ(lim.Limit(kHost), 2);
    clock.ms += HostLimiter::kLongestSettleMs;
  }
  HostLimiter::Permit gone, refused;
  ASSERT_TRUE(lim.TryAcquire(kHost, &b, gone));
  gone.NoteClosed();
  gone.Release();
  clock.ms += settle;
  ASSERT_TRUE(lim.TryAcquire(kHost, &b, refused));
  lim.NoteBusy(kHost);
  EXPECT_EQ(lim.SettleMs(kHost), HostLimiter::kLongestSettleMs);
  EXPECT_EQ(lim.Limit(kHost), 1);
}

// Above two such a refusal still teaches one fewer: three counted, one
// refused, two allowed, while the settle time doubles beside it.
TEST(HostLimiter, ARefusalRightAfterASettleStillLowersALimitAboveTwo) {
  FakeClock clock;
  HostLimiter lim(clock.Fn());
  lim.SetCeiling(3);
  int a = 0;
  HostLimiter::Permit p1, p2, gone, refused;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, p1));
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, p2));
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, gone));
  gone.NoteClosed();
  gone.Release();
  clock.ms += HostLimiter::kSettleMs;
  ASSERT_TRUE(lim.TryAcquire(kHost, &a, refused));
  lim.NoteBusy(kHost);
  EXPECT_EQ(lim.SettleMs(kHost), 2 * HostLimiter::kSettleMs);
  EXPECT_EQ(lim.Limit(kHost), 2);
}

// What a request does with a busy answer: it teaches the program's limiter
// from the connections counted, and a refused connect is busy only while
// other connections of ours to the host are counted.
TEST(BusyAnswer, TeachesTheLimiterAndTellsBusyFromUnreachable) {
  HostLimiter& lim = HostLimiter::Instance();
  int a = 0, b = 0;
  {
    const std::string host = "http://busy-two-open.test:80";
    HostLimiter::Permit p1, p2;
    ASSERT_TRUE(lim.TryAcquire(host, &a, p1));
    ASSERT_TRUE(lim.TryAcquire(host, &b, p2));
    BusyAnswer busy;
    EXPECT_TRUE(busy.Reply(503, "", host));
    EXPECT_TRUE(busy.Pending());
    EXPECT_EQ(lim.Limit(host), 1);
    // Any other answer is not busy and teaches nothing.
    EXPECT_FALSE(busy.Reply(200, "", host));
    EXPECT_FALSE(busy.Pending());
    EXPECT_EQ(busy.InARow(), 0);
    EXPECT_EQ(lim.Limit(host), 1);
  }
  {
    const std::string host = "http://refused-alone.test:80";
    HostLimiter::Permit only;
    ASSERT_TRUE(lim.TryAcquire(host, &a, only));
    BusyAnswer busy;
    EXPECT_FALSE(busy.Refused(host));  // simply unreachable
    EXPECT_FALSE(busy.Pending());
    HostLimiter::Permit other;
    ASSERT_TRUE(lim.TryAcquire(host, &b, other));
    EXPECT_TRUE(busy.Refused(host));
    EXPECT_TRUE(busy.Pending());
    EXPECT_EQ(lim.Limit(host), 1);
  }
}
