// Jobs against hosts that take only so many connections: every connection
// of a job (length request, blocks, splits) keeps to the program's limit per
// host, a busy answer is waited out and asked again at no cost, tasks share
// a host, and a stop ends any wait.
#include <algorithm>
#include <atomic>
#include <ctime>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/Gbk.h"
#include "engine/http/Url.h"
#include "engine/http/HostLimiter.h"
#include "tests/engine/BlockDownloaderTestKit.h"
#include "tests/support/Loopback.h"

namespace {

using bdtest::Owner;
using vtest::Route;

std::string KeyOf(const std::string& url) {
  UrlParts parts;
  return SplitWebUrl(url, parts) ? HostLimiter::KeyFor(parts) : std::string();
}

int BusyAnswers(const vtest::ScriptedServer& srv) {
  int n = 0;
  for (const auto& r : srv.requests())
    if (r.answeredBusy) ++n;
  return n;
}

std::string Texts(const Owner& o) {
  std::string all;
  for (const auto& m : o.messages()) all += std::to_string(m.index) + " " + GbkToUtf8(m.text) + "\n";
  return all;
}

class BusyHostJob : public bdtest::JobFixture {
 protected:
  ~BusyHostJob() override { HostLimiter::Instance().SetCeiling(HostLimiter::kDefaultLimit); }

  // Counts the connections the program holds to the server's host at
  // every progress report, and the most it ever held.
  void WatchHeld(Owner& o) {
    o.onProgress = [this](int, int, int) {
      const int held = HostLimiter::Instance().Held(KeyOf(srv.url("/")));
      int seen = m_mostHeld.load();
      while (held > seen && !m_mostHeld.compare_exchange_weak(seen, held)) {
      }
    };
  }
  // The server's only room taken by someone else: a plain connection.
  void OccupyTheHost() {
    m_blocker = vtest::ConnectLoopback(srv.port(), 5000);
    ASSERT_GE(m_blocker, 0);
    ASSERT_TRUE(bdtest::WaitFor([&] { return srv.openConnections() == 1; }));
  }
  void FreeTheHost() {
    if (m_blocker >= 0) close(m_blocker);
    m_blocker = -1;
  }
  void TearDown() override { FreeTheHost(); }
  // Start prepares the job on the calling thread, length request and its
  // waits included, as the task's own thread does: here it gets one.
  std::thread StartAside(CBlockDownloader& job) {
    return std::thread([&job] { CBlockDownloader::Start(&job); });
  }

  std::atomic<int> m_mostHeld{0};
  int m_blocker = -1;
};

// Six songs at once against a host that allows two connections, in the
// three ways such hosts refuse the third.
TEST_F(BusyHostJob, SixSongsOnATwoConnectionHostAllArriveWhole) {
  struct Refusal {
    const char* name;
    vtest::ConnectionLimit limit;
  };
  const Refusal refusals[] = {{"503 after 1 s", {2, 503, "1", false}},
                              {"429 without a time", {2, 429, "", false}},
                              {"reset at connect", {2, 503, "", true}}};
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    vtest::ScriptedServer host;
    host.setConnectionLimit(refusal.limit);
    std::vector<std::string> bodies;
    std::vector<std::unique_ptr<Owner>> owners;
    std::vector<std::unique_ptr<CBlockDownloader>> jobs;
    for (int i = 0; i < 6; ++i) {
      bodies.push_back(vtest::RandomBytes(300 * 1024 + i * 1000, 40 + i));
      const std::string name = "six" + std::to_string(i) + ".mp3";
      host.route("/" + name, Route::File(bodies.back()));
      owners.push_back(std::make_unique<Owner>());
      jobs.push_back(Job(host.url("/" + name), Target(name), 3, *owners.back()));
    }
    std::vector<std::thread> starters;
    for (auto& job : jobs) starters.push_back(StartAside(*job));
    for (int i = 0; i < 6; ++i) {
      ASSERT_TRUE(owners[i]->WaitEnd(60000)) << i;
      starters[i].join();
      jobs[i]->Stop();
      EXPECT_EQ(owners[i]->successes(), 1) << i << "\n" << Texts(*owners[i]);
      EXPECT_TRUE(vtest::ReadFile(Target("six" + std::to_string(i) + ".mp3")) == bodies[i]) << i;
    }
    const int busy = BusyAnswers(host) + host.connectionsRefused();
    std::cout << "[ busy     ] " << refusal.name << ": " << busy << " busy answers for six songs, host limit learned "
              << HostLimiter::Instance().Limit(KeyOf(host.url("/"))) << "\n";
    // The host teaches us its limit: nowhere near ten busy answers a song.
    // The refusals of the start teach it together when they reach us within
    // a settle time of each other; on a slow machine they come further apart
    // and teach it a step at a time, so the songs may all be in before it is
    // down to two.
    EXPECT_LT(busy, 6 * 4);
    if (busy > 0) {
      EXPECT_LT(HostLimiter::Instance().Limit(KeyOf(host.url("/"))), HostLimiter::kDefaultLimit);
    }
  }
}

TEST_F(BusyHostJob, RetryAfterIsHonouredInEveryForm) {
  // A date 3 s ahead names at least 2 whole seconds from when it is read;
  // without a time the wait backs off 2 s.
  auto threeSecondsOn = [] {
    char date[64];
    const std::time_t later = std::time(nullptr) + 3;
    std::tm tm{};
    gmtime_r(&later, &tm);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(date);
  };
  const std::string body = vtest::RandomBytes(200 * 1024, 3);
  for (const std::string form : {"2", "date", ""}) {
    const std::string after = form == "date" ? threeSecondsOn() : form;
    const long long least = 2000;
    SCOPED_TRACE("Retry-After: " + after);
    srv.clearRequests();
    srv.setConnectionLimit({1, 503, after, false});
    srv.route("/wait.mp3", Route::File(body));
    OccupyTheHost();
    Owner o;
    auto job = Job(srv.url("/wait.mp3"), Target("wait.mp3"), 2, o);
    std::thread starter = StartAside(*job);
    EXPECT_TRUE(bdtest::WaitFor([&] { return BusyAnswers(srv) > 0; }));
    FreeTheHost();
    EXPECT_TRUE(o.WaitEnd(30000));
    starter.join();
    job->Stop();
    EXPECT_EQ(o.successes(), 1) << Texts(o);
    EXPECT_TRUE(vtest::ReadFile(Target("wait.mp3")) == body);
    // The row says how long the wait is.
    EXPECT_NE(Texts(o).find("服务器繁忙,"), std::string::npos) << Texts(o);
    const auto reqs = srv.requests();
    for (size_t i = 0; i + 1 < reqs.size(); ++i) {
      if (!reqs[i].answeredBusy) continue;
      // Our own next request, whichever it is, comes no earlier than asked
      // (50 ms for the clocks' granularity).
      EXPECT_GE(reqs[i + 1].atMs - reqs[i].atMs, least - 50) << i;
    }
    srv.setConnectionLimit({});
    ASSERT_TRUE(srv.waitAllClosed(5000));
  }
}

TEST_F(BusyHostJob, ATooManyRequestsAnswerMidBlockContinuesFromTheBytesWritten) {
  const long long size = 300 * 1024, cut = 100000;
  const std::string body = vtest::RandomBytes(static_cast<size_t>(size), 5);
  Route r = Route::File(body);
  vtest::Faults drop;
  drop.closeAfterBodyBytes = cut;
  r.rangeFaults[""] = drop;
  r.rangeFaults["bytes=0-"] = drop;
  // More busy answers in a row than the block has attempts: they cost none.
  vtest::Faults busy;
  busy.failFirst = 4;
  busy.failStatus = 429;
  busy.failRetryAfter = "1";
  const std::string rest = "bytes=" + std::to_string(cut) + "-" + std::to_string(size - 1);
  r.rangeFaults[rest] = busy;
  srv.route("/mid.mp3", r);
  auto job = Job(srv.url("/mid.mp3"), Target("mid.mp3"), 1, owner);
  job->m_nBlocks = 1;
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1) << Texts(owner);
  EXPECT_TRUE(vtest::ReadFile(Target("mid.mp3")) == body);
  // Once the block held bytes, every request asked from exactly there.
  int asked = 0;
  for (const auto& req : srv.requestsFor("/mid.mp3")) {
    if (req.range.rfind("bytes=", 0) != 0 || req.range == "bytes=0-" || req.range == "bytes=1-") continue;
    EXPECT_EQ(req.range, rest);
    ++asked;
  }
  EXPECT_EQ(asked, 5);
}

TEST_F(BusyHostJob, TwoJobsShareATwoConnectionHost) {
  HostLimiter::Instance().SetCeiling(2);
  // The first job's six blocks take 2 s each on a connection: it holds both
  // for 6 s unless it gives one up when a block ends.
  const std::string one = vtest::RandomBytes(2400 * 1024, 7), two = vtest::RandomBytes(400 * 1024, 8);
  Route slow = Route::File(one);
  slow.faults.rateBytesPerSec = 200 * 1024;
  srv.route("/first.mp3", slow);
  slow.body = two;
  srv.route("/second.mp3", slow);
  Owner a, b;
  WatchHeld(a);
  WatchHeld(b);
  auto first = Job(srv.url("/first.mp3"), Target("first.mp3"), 6, a);
  auto second = Job(srv.url("/second.mp3"), Target("second.mp3"), 2, b);
  CBlockDownloader::Start(first.get());
  ASSERT_TRUE(a.WaitProgress());
  std::thread starter = StartAside(*second);
  // The first job does not keep both connections while the second waits.
  EXPECT_TRUE(b.WaitProgress(20000));
  EXPECT_EQ(a.successes() + a.failures(), 0);
  EXPECT_TRUE(a.WaitEnd(30000));
  EXPECT_TRUE(b.WaitEnd(30000));
  starter.join();
  first->Stop();
  second->Stop();
  EXPECT_EQ(a.successes(), 1) << Texts(a);
  EXPECT_EQ(b.successes(), 1) << Texts(b);
  EXPECT_TRUE(vtest::ReadFile(Target("first.mp3")) == one);
  EXPECT_TRUE(vtest::ReadFile(Target("second.mp3")) == two);
  EXPECT_LE(m_mostHeld.load(), 2);
}

TEST_F(BusyHostJob, AHostOfOneFetchesEveryBlockInTurnByteExact) {
  HostLimiter::Instance().SetCeiling(1);
  const std::string body = vtest::RandomBytes(1536 * 1024, 11);
  srv.route("/one.mp3", Route::File(body));
  WatchHeld(owner);
  auto job = Job(srv.url("/one.mp3"), Target("one.mp3"), 4, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1) << Texts(owner);
  EXPECT_TRUE(vtest::ReadFile(Target("one.mp3")) == body);
  EXPECT_EQ(m_mostHeld.load(), 1);
  ExpectNoLeftovers(Target("one.mp3"));
}

// A stop from another thread ends a wait for the host's room and a wait
// a busy host asked for, long before either would end by itself.
TEST_F(BusyHostJob, StopEndsEveryKindOfWaitAtOnce) {
  srv.route("/stop.mp3", Route::File(vtest::RandomBytes(200 * 1024, 13)));
  for (bool permitWait : {true, false}) {
    SCOPED_TRACE(permitWait ? "waiting for room" : "waiting out a busy answer");
    Owner o;
    HostLimiter::Permit taken;
    int someoneElse = 0;
    if (permitWait) {
      HostLimiter::Instance().SetCeiling(1);
      ASSERT_TRUE(HostLimiter::Instance().TryAcquire(KeyOf(srv.url("/")), &someoneElse, taken));
    } else {
      srv.setConnectionLimit({1, 503, "100", false});
      OccupyTheHost();
    }
    auto job = Job(srv.url("/stop.mp3"), Target("stop.mp3"), 2, o);
    std::thread starter = StartAside(*job);
    const std::string waiting = permitWait ? T(txt::kWaitingForHost) : T("服务器繁忙,100秒后重试...");
    ASSERT_TRUE(bdtest::WaitFor([&] {
      for (const auto& m : o.messages())
        if (m.text == waiting) return true;
      return false;
    })) << Texts(o);
    auto stopped = std::async(std::launch::async, [&] { job->Stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    stopped.wait();
    starter.join();
    EXPECT_EQ(o.successes() + o.failures(), 0);
    FreeTheHost();
    srv.setConnectionLimit({});
    HostLimiter::Instance().SetCeiling(HostLimiter::kDefaultLimit);
  }
}

}  // namespace
