// A job's first request is block 0's: one ranged GET from byte 0 tells the
// length, the range support and the validator, and its body is kept, so a
// host slow to answer costs one wait before bytes flow, not three.
#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

class BlockJobFirstReply : public bdtest::JobFixture {
 protected:
  // Under two minimum parts: no block is ever split, so the requests are
  // exactly the plan's.
  static constexpr int kLength = 300 * 1024 + 7;
  const std::string m_body = vtest::RandomBytes(kLength, 31);
};

TEST_F(BlockJobFirstReply, BytesFlowWhileEveryLaterReplyIsStillHeldBack) {
  // Only the first reply answers; every later header waits a minute. Bytes
  // can only come from the first reply, after its one wait.
  Route r = Route::File(m_body);
  r.faults.headerDelayMs = 60000;
  r.faults.notFirst = 1;
  srv.route("/a.mp3", r);
  std::atomic<int> firstIndex{-1};
  owner.onProgress = [&](int, int, int index) {
    int none = -1;
    firstIndex.compare_exchange_strong(none, index);
  };
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, owner);
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(owner.WaitProgress(20000)) << "no body byte before a second reply";
  // The owner counts a report before it runs the test's hook.
  ASSERT_TRUE(bdtest::WaitFor([&] { return firstIndex.load() != -1; }));
  EXPECT_EQ(firstIndex.load(), 0);
  EXPECT_EQ(owner.contentLength(), kLength);
  const auto reqs = srv.requestsFor("/a.mp3");
  ASSERT_FALSE(reqs.empty());
  EXPECT_EQ(reqs[0].range, "bytes=0-");
  for (size_t i = 1; i < reqs.size(); ++i) EXPECT_NE(reqs[i].range, "bytes=0-") << "block 0 asked again";
  job->Stop();
  EXPECT_TRUE(bdtest::WaitNoBlockThreads());
}

TEST_F(BlockJobFirstReply, SlowHostIsAskedOncePerBlockAndSavedByteExact) {
  for (int n = 1; n <= 5; ++n) {
    SCOPED_TRACE(n);
    Owner o;
    Route r = Route::File(m_body);
    r.etag = "\"e1\"";
    r.faults.headerDelayMs = 300;
    srv.route("/a.mp3", r);
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), n, o, true);
    Run(*job, o);
    ASSERT_EQ(o.successes(), 1);
    EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
    EXPECT_EQ(job->m_nBlocks, n);
    // The first request is block 0's; no length request, no range probe.
    auto ranges = bdtest::BlockRanges(srv, "/a.mp3");
    ASSERT_EQ(ranges.size(), static_cast<size_t>(n)) << testing::PrintToString(ranges);
    EXPECT_EQ(ranges[0], "bytes=0-");
    const int q = kLength / n;
    for (int i = 1; i < n; ++i) {
      const int last = i == n - 1 ? kLength - 1 : (i + 1) * q - 1;
      const std::string want = "bytes=" + std::to_string(i * q) + "-" + std::to_string(last);
      EXPECT_NE(std::find(ranges.begin(), ranges.end(), want), ranges.end()) << want;
    }
    ExpectNoLeftovers(Target("a.mp3"));
    ASSERT_TRUE(srv.waitAllClosed(10000));
    srv.clearRequests();
    std::remove(Target("a.mp3").c_str());
  }
}

TEST_F(BlockJobFirstReply, WholeFileAnswerToTheFirstRequestIsTheOneBlock) {
  // A host without ranges answers 200: the body goes on as the only block,
  // cut nowhere, with or without a length.
  for (bool sized : {true, false}) {
    SCOPED_TRACE(sized);
    Owner o;
    Route r = Route::File(m_body);
    r.faults.ignoreRange = true;
    r.faults.noContentLength = !sized;
    r.faults.headerDelayMs = 200;
    srv.route("/a.mp3", r);
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, o, true);
    Run(*job, o);
    ASSERT_EQ(o.successes(), 1);
    EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
    EXPECT_EQ(job->m_nBlocks, 1);
    EXPECT_EQ(bdtest::BlockRanges(srv, "/a.mp3"), std::vector<std::string>{"bytes=0-"});
    EXPECT_EQ(o.contentLength(), kLength);
    ExpectNoLeftovers(Target("a.mp3"));
    ASSERT_TRUE(srv.waitAllClosed(10000));
    srv.clearRequests();
    std::remove(Target("a.mp3").c_str());
  }
}

TEST_F(BlockJobFirstReply, PageToTheFirstRequestIsAskedTheLongWay) {
  // A 200 labelled as a page may be a host's one-off (busy, try later): its
  // length is not trusted, and the two-question exchange decides.
  Route r = Route::File(m_body);
  r.faults.busyPage = "<html>busy, try later</html>";
  srv.route("/a.mp3", r);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 3, owner);
  Run(*job, owner);
  ASSERT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
  EXPECT_EQ(owner.contentLength(), kLength);
  const auto ranges = bdtest::BlockRanges(srv, "/a.mp3");
  ASSERT_EQ(ranges.size(), 6u) << testing::PrintToString(ranges);
  EXPECT_EQ(ranges[0], "bytes=0-");
  EXPECT_EQ(ranges[1], "");
  EXPECT_EQ(ranges[2], "bytes=1-");
}

}  // namespace
