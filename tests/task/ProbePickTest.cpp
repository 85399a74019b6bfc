// Probing the candidates and picking one: exact times through the probe
// seam, the real probe against the scripted server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "engine/http/Url.h"
#include "engine/http/HostLimiter.h"
#include "res/Texts.h"
#include "task/DownloadTask.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"
#include "tests/task/TaskTestHost.h"

namespace {

using vtest::Route;
using vtest::TaskTestHost;

struct Probe {
  int time;
  int size;
};

class ProbePickTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings(1000, 2000, true); }
  void Settings(int minSize, int maxSize, bool checkSpeed) {
    TaskSettings s;
    s.m_nMinSize = minSize;
    s.m_nMaxSize = maxSize;
    s.m_bCheckSpeed = checkSpeed;
    m_host.SetSettings(s);
  }
  // A task whose candidates answer as given, in order; records what was probed.
  CDownloadTask& Task(const std::vector<Probe>& answers) {
    m_host.AddEntry("t");
    CDownloadTask& t = m_host.CreateTask("t");
    std::vector<std::string> links;
    for (size_t i = 0; i < answers.size(); ++i) {
      links.push_back(Link(static_cast<int>(i)));
      m_answers[links.back()] = answers[i];
    }
    t.Candidates().Reset(links);
    t.m_fnProbe = [this](const std::string& url, int& time, int& size) {
      m_probed.push_back(url);
      time = m_answers.at(url).time;
      size = m_answers.at(url).size;
    };
    return t;
  }
  static std::string Link(int i) { return "http://h/" + std::to_string(i) + ".mp3"; }

  vtest::TempHome m_home;
  TaskTestHost m_host;
  std::map<std::string, Probe> m_answers;
  std::vector<std::string> m_probed;
};

TEST_F(ProbePickTest, ExactlyOneHundredMillisecondsStopsProbingAndIsPicked) {
  CDownloadTask& t = Task({{300, 1500}, {100, 1500}, {5, 1500}});
  EXPECT_TRUE(t.ProbeCandidates());
  EXPECT_EQ(m_probed, (std::vector<std::string>{Link(0), Link(1)}));
  EXPECT_EQ(t.Candidates().LastProbed(), 1);
  EXPECT_EQ(t.PickCandidate(), 1);
}

TEST_F(ProbePickTest, LastCandidateWithinOneHundredIsPicked) {
  CDownloadTask& t = Task({{50, 1500}, {100, 1500}});
  t.Candidates().SetProbed(0, 50, 0);
  t.Candidates().SetLastProbed(0);  // as if the first had been probed by an earlier call (and stopped there)
  EXPECT_TRUE(t.ProbeCandidates());
  EXPECT_EQ(m_probed, std::vector<std::string>{Link(1)});  // goes on after the last probed
  EXPECT_EQ(t.PickCandidate(), 1);
}

TEST_F(ProbePickTest, JustAboveOneHundredProbesOnAndTheFastestWins) {
  CDownloadTask& t = Task({{300, 1500}, {101, 1500}, {200, 1500}});
  EXPECT_TRUE(t.ProbeCandidates());
  EXPECT_EQ(m_probed.size(), 3u);
  EXPECT_EQ(t.Candidates().LastProbed(), 2);
  EXPECT_EQ(t.PickCandidate(), 1);
}

TEST_F(ProbePickTest, EqualTimesPickTheFirstFound) {
  CDownloadTask& t = Task({{400, 1500}, {150, 1500}, {150, 1500}});
  EXPECT_TRUE(t.ProbeCandidates());
  EXPECT_EQ(t.PickCandidate(), 1);
}

TEST_F(ProbePickTest, HundredThousandMillisecondsIsNeverPickedByTheMinimum) {
  CDownloadTask& t = Task({{100000, 1500}, {-1, 1500}, {100001, 1500}});
  EXPECT_TRUE(t.ProbeCandidates());  // a time >= 0 exists...
  EXPECT_EQ(t.PickCandidate(), -1);  // ...but none is usable
}

TEST_F(ProbePickTest, JustBelowHundredThousandIsPicked) {
  CDownloadTask& t = Task({{100000, 1500}, {99999, 1500}});
  EXPECT_TRUE(t.ProbeCandidates());
  EXPECT_EQ(t.PickCandidate(), 1);
}

TEST_F(ProbePickTest, WithoutSpeedCheckTheFirstWithinLimitsIsTaken) {
  Settings(1000, 2000, false);
  CDownloadTask& t = Task({{5, 999}, {-1, 1500}, {900, 1500}, {5, 1500}});
  EXPECT_TRUE(t.ProbeCandidates());
  EXPECT_EQ(m_probed.size(), 3u);
  EXPECT_EQ(t.Candidates().LastProbed(), 2);
  EXPECT_EQ(t.PickCandidate(), 2);
  EXPECT_EQ(t.Candidates().Time(0), -1);
  EXPECT_EQ(t.Candidates().Time(1), -1);
}

TEST_F(ProbePickTest, SizeLimitsAreInclusive) {
  CDownloadTask& t = Task({{200, 999}, {300, 1000}, {250, 2000}, {5, 2001}});
  EXPECT_TRUE(t.ProbeCandidates());
  EXPECT_EQ(t.Candidates().Time(0), -1);
  EXPECT_EQ(t.Candidates().Time(1), 300);
  EXPECT_EQ(t.Candidates().Time(2), 250);
  EXPECT_EQ(t.Candidates().Time(3), -1);  // fast but too large: rejected, probing went on
  EXPECT_EQ(t.PickCandidate(), 2);
}

TEST_F(ProbePickTest, NoContentLengthIsRejectedUnlessTheMinimumIsZero) {
  CDownloadTask& t = Task({{10, 0}});
  EXPECT_FALSE(t.ProbeCandidates());
  m_host.DropTask("t");
  m_probed.clear();

  Settings(0, 2000, true);
  CDownloadTask& zero = Task({{10, 0}});
  EXPECT_TRUE(zero.ProbeCandidates());
  EXPECT_EQ(zero.PickCandidate(), 0);
}

TEST_F(ProbePickTest, AllProbedMeansNothingIsProbedAgain) {
  CDownloadTask& t = Task({{300, 1500}, {200, 1500}});
  EXPECT_TRUE(t.ProbeCandidates());
  m_probed.clear();
  EXPECT_TRUE(t.ProbeCandidates());
  EXPECT_TRUE(m_probed.empty());
  t.MarkCandidate(Link(1), -1);
  EXPECT_EQ(t.PickCandidate(), 0);
  t.MarkCandidate(Link(0), -1);
  EXPECT_FALSE(t.ProbeCandidates());
  EXPECT_TRUE(m_probed.empty());
}

TEST_F(ProbePickTest, NoCandidatesOrNothingProbedPicksNothing) {
  CDownloadTask& t = Task({});
  EXPECT_FALSE(t.ProbeCandidates());
  t.Candidates().Reset({Link(0), Link(1), Link(2)});  // searched, nothing probed
  EXPECT_EQ(t.PickCandidate(), -1);
}

TEST_F(ProbePickTest, EachProbeShowsItsNumber) {
  CDownloadTask& t = Task({{-1, 0}, {300, 1500}, {50, 1500}});
  t.ProbeCandidates();
  EXPECT_EQ(m_host.Column("t", 7),
            (std::vector<std::string>{T("正在测试第1个连接的速度..."), T("正在测试第2个连接的速度..."),
                                      T("正在测试第3个连接的速度...")}));
}

TEST_F(ProbePickTest, ThreeFailedPassesEndInTheProbeFailureText) {
  CDownloadTask& t = Task({{-1, 0}, {500, 5}});
  t.BeginDownload();
  EXPECT_EQ(m_probed.size(), 6u);  // every pass probes every candidate again
  const auto texts = m_host.Column("t", 7);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), T(txt::kProbeFailed));
  EXPECT_TRUE(t.m_strURL.empty());
  bool jobMade = false;
  t.VisitJob([&](CBlockDownloader&) { jobMade = true; });
  EXPECT_FALSE(jobMade);
  TaskEntry e;
  ASSERT_TRUE(m_host.Entry("t", e));
  EXPECT_TRUE(IsFailedEntry(e));
}

TEST_F(ProbePickTest, UnusableTimesEndInTheProbeFailureTextWithoutAnotherPass) {
  CDownloadTask& t = Task({{100000, 1500}});
  t.BeginDownload();
  EXPECT_EQ(m_probed.size(), 1u);
  EXPECT_EQ(m_host.Column("t", 7).back(), T(txt::kProbeFailed));
}

// ---- the real probe ----

class RealProbeTest : public ProbePickTest {
 protected:
  vtest::ScriptedServer m_srv;
};

TEST_F(RealProbeTest, SizeComesFromTheServerAndFailuresAreRejected) {
  Settings(1000, 2000, true);
  Route noLength = Route::File(std::string(1500, 'n'));
  noLength.faults.noContentLength = true;
  m_srv.route("/small.mp3", Route::File(std::string(999, 's')));
  m_srv.route("/nolen.mp3", noLength);
  m_srv.route("/good.mp3", Route::File(std::string(2000, 'g')));
  m_srv.route("/moved.mp3", Route::Redirect(302, "/good.mp3"));
  m_srv.route("/big.mp3", Route::File(std::string(2001, 'b')));

  m_host.AddEntry("r");
  CDownloadTask& t = m_host.CreateTask("r");
  const std::vector<std::string> links = {m_srv.url("/missing.mp3"), m_srv.url("/small.mp3"),
                                          m_srv.url("/nolen.mp3"),   m_srv.url("/big.mp3"),
                                          m_srv.url("/moved.mp3"),   m_srv.url("/good.mp3")};
  t.Candidates().Reset(links);

  EXPECT_TRUE(t.ProbeCandidates());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(t.Candidates().Time(i), -1) << links[i];
  // A redirect is followed to the file; loopback answers in well under 100 ms
  // more often than not, so probing may stop there.
  EXPECT_GE(t.Candidates().Time(4), 0);
  const int k = t.PickCandidate();
  EXPECT_TRUE(k == 4 || k == 5) << k;
  EXPECT_FALSE(m_srv.requestsFor("/small.mp3").empty());
}

// A connection that fills the host's one place until closed.
class HeldConnection {
 public:
  explicit HeldConnection(int port) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~HeldConnection() { Close(); }
  void Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

size_t BusyAnswers(const vtest::ScriptedServer& srv) {
  size_t n = 0;
  for (const auto& r : srv.requests()) n += r.answeredBusy ? 1 : 0;
  return n;
}

// Busy is not dead: the probe waits what the host asked for, shows it, and
// the same link is probed again and picked.
TEST_F(RealProbeTest, BusyHostIsProbedAgainAfterItsRetryAfter) {
  m_srv.route("/a.mp3", Route::File(std::string(1500, 'a')));
  m_srv.setConnectionLimit({1, 503, "1", false});
  HeldConnection other(m_srv.port());
  for (int i = 0; i < 500 && m_srv.openConnections() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  m_host.AddEntry("b");
  CDownloadTask& t = m_host.CreateTask("b");
  t.Candidates().Reset({m_srv.url("/a.mp3")});
  bool probed = false;
  std::thread prober([&] { probed = t.ProbeCandidates(); });
  ASSERT_TRUE(m_srv.waitForRequests(1, 10000));
  other.Close();
  prober.join();

  EXPECT_TRUE(probed);
  EXPECT_GE(t.Candidates().Time(0), 0);
  const auto all = m_srv.requests();
  ASSERT_GE(all.size(), 2u);
  ASSERT_TRUE(all[0].answeredBusy);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_GE(all[i].atMs, all[0].atMs + 1000) << i;
  std::string waiting = T(txt::kHostBusyRetry);
  waiting.replace(waiting.find("%d"), 2, "1");
  const auto status = m_host.Column("b", 7);
  EXPECT_NE(std::find(status.begin(), status.end(), waiting), status.end());
}

TEST_F(RealProbeTest, CancelEndsABusyWaitAtOnce) {
  m_srv.route("/a.mp3", Route::File(std::string(1500, 'a')));
  m_srv.setConnectionLimit({1, 429, "120", false});
  HeldConnection other(m_srv.port());
  for (int i = 0; i < 500 && m_srv.openConnections() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  m_host.AddEntry("c");
  CDownloadTask& t = m_host.CreateTask("c");
  t.Candidates().Reset({m_srv.url("/a.mp3")});
  bool probed = true;
  std::thread prober([&] { probed = t.ProbeCandidates(); });
  ASSERT_TRUE(m_srv.waitForRequests(1, 10000));
  // The wait asked for is two minutes; the test's time limit ends far sooner.
  t.Cancel();
  prober.join();
  EXPECT_FALSE(probed);
  EXPECT_EQ(BusyAnswers(m_srv), 1u);
  EXPECT_EQ(m_srv.requests().size(), 1u);
}

// A probe is a connection like any other: with the host's one place taken
// it waits, says so, and asks nothing until the place is free.
TEST_F(RealProbeTest, ProbeWaitsForAFreeConnectionToItsHost) {
  m_srv.route("/a.mp3", Route::File(std::string(1500, 'a')));
  HostLimiter& limiter = HostLimiter::Instance();
  limiter.SetCeiling(1);
  UrlParts parts;
  ASSERT_TRUE(SplitUrl(m_srv.url("/a.mp3"), parts));
  HostLimiter::Permit taken;
  ASSERT_TRUE(limiter.TryAcquire(HostLimiter::KeyFor(parts), &taken, taken));

  m_host.AddEntry("w");
  CDownloadTask& t = m_host.CreateTask("w");
  t.Candidates().Reset({m_srv.url("/a.mp3")});
  bool probed = false;
  std::thread prober([&] { probed = t.ProbeCandidates(); });
  auto shown = [&] {
    const auto status = m_host.Column("w", 7);
    return std::find(status.begin(), status.end(), T(txt::kWaitingForHost)) != status.end();
  };
  for (int i = 0; i < 1000 && !shown(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(shown());
  EXPECT_TRUE(m_srv.requests().empty());
  taken.Release();
  prober.join();
  limiter.SetCeiling(HostLimiter::kDefaultLimit);
  EXPECT_TRUE(probed);
  EXPECT_FALSE(m_srv.requests().empty());
  // Given back: the place is free once the probe's last close has settled.
  const std::string key = HostLimiter::KeyFor(parts);
  for (int i = 0; i < 500 && limiter.Held(key) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(limiter.Held(key), 0);
}

// Two probes, each on a host of one connection that sends it on to the
// other's host: neither may hold its first host while it waits for the
// second, or each would wait for the other for ever.
TEST_F(RealProbeTest, ProbesRedirectedAcrossTwoHostsOfOneNeverWaitForEachOther) {
  vtest::ScriptedServer other;
  Route toOther = Route::Redirect(302, other.url("/b.mp3"));
  Route toHere = Route::Redirect(302, m_srv.url("/a.mp3"));
  // Held back, so both probes have their first host before either follows.
  toOther.faults.headerDelayMs = 300;
  toHere.faults.headerDelayMs = 300;
  m_srv.route("/to-other.mp3", toOther);
  m_srv.route("/a.mp3", Route::File(std::string(1500, 'a')));
  other.route("/to-here.mp3", toHere);
  other.route("/b.mp3", Route::File(std::string(1500, 'b')));
  HostLimiter& limiter = HostLimiter::Instance();
  limiter.SetCeiling(1);

  m_host.AddEntry("x");
  m_host.AddEntry("y");
  CDownloadTask& x = m_host.CreateTask("x");
  CDownloadTask& y = m_host.CreateTask("y");
  x.Candidates().Reset({m_srv.url("/to-other.mp3")});
  y.Candidates().Reset({other.url("/to-here.mp3")});
  std::atomic<int> ended{0};
  bool probedX = false, probedY = false;
  std::thread tx([&] {
    probedX = x.ProbeCandidates();
    ++ended;
  });
  std::thread ty([&] {
    probedY = y.ProbeCandidates();
    ++ended;
  });
  // Bounded: probes stuck on each other are cancelled and the test fails.
  for (int i = 0; i < 2000 && ended < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const bool bothEnded = ended == 2;
  if (!bothEnded) {
    x.Cancel();
    y.Cancel();
  }
  tx.join();
  ty.join();
  limiter.SetCeiling(HostLimiter::kDefaultLimit);
  EXPECT_TRUE(bothEnded);
  EXPECT_TRUE(probedX);
  EXPECT_TRUE(probedY);
  EXPECT_GE(x.Candidates().Time(0), 0);
  EXPECT_GE(y.Candidates().Time(0), 0);
  EXPECT_FALSE(m_srv.requestsFor("/a.mp3").empty());
  EXPECT_FALSE(other.requestsFor("/b.mp3").empty());
}

TEST_F(RealProbeTest, UnreachableCandidatesFailQuickly) {
  int port;
  {
    vtest::ScriptedServer gone;
    port = gone.port();
  }
  m_host.AddEntry("u");
  CDownloadTask& t = m_host.CreateTask("u");
  t.Candidates().Reset({"http://127.0.0.1:" + std::to_string(port) + "/a.mp3", "not a link.mp3"});
  EXPECT_FALSE(t.ProbeCandidates());
  EXPECT_EQ(t.Candidates().LastProbed(), 1);
}

}  // namespace
