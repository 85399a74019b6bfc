// Whole downloads through the job against the scripted server: the split,
// the bytes, and every way preparing can fail.

#include <algorithm>
#include <memory>

#include "tests/engine/BlockDownloaderTestKit.h"
#include "tests/support/Loopback.h"

namespace {

using bdtest::Owner;
using vtest::Route;

using BlockJob = bdtest::JobFixture;

// What the block requests of a fresh job ask for, by the split rules.
std::vector<std::string> ExpectedRanges(int length, int blocks) {
  std::vector<std::string> out;
  const int q = length / blocks;
  for (int i = 0; i < blocks; ++i) {
    const int start = i * q;
    const int end = i == blocks - 1 ? length - 1 : start + q - 1;
    if (start == 0)
      out.push_back("bytes=0-");
    else if (end > start)
      out.push_back("bytes=" + std::to_string(start) + "-" + std::to_string(end));
    else
      out.push_back("bytes=" + std::to_string(start) + "-");
  }
  return out;
}

struct Case {
  int blocks;
  int length;
};

std::vector<Case> Cases() {
  std::vector<Case> out;
  for (int n = 1; n <= 5; ++n) {
    out.push_back({n, 1});
    if (n > 2) out.push_back({n, n - 1});  // for n = 2 that is the 1-byte case
    out.push_back({n, 10});
    out.push_back({n, (1 << 20) + 3});
  }
  return out;
}

class BlockJobBytes : public BlockJob, public ::testing::WithParamInterface<Case> {};

TEST_P(BlockJobBytes, MergedFileEqualsServedFile) {
  const Case c = GetParam();
  const std::string body = vtest::RandomBytes(static_cast<size_t>(c.length), 7u + static_cast<uint32_t>(c.length));
  srv.route("/a.mp3", Route::File(body));
  const std::string target = Target("a.mp3");
  auto job = Job(srv.url("/a.mp3"), target, c.blocks, owner);
  Run(*job, owner);

  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(owner.failures(), 0);
  EXPECT_EQ(owner.contentLength(), c.length);
  EXPECT_EQ(vtest::ReadFile(target), body);
  const int used = std::min(c.blocks, c.length);
  EXPECT_EQ(job->m_nBlocks, used);
  auto ranges = bdtest::BlockRanges(srv, "/a.mp3");
  auto expected = ExpectedRanges(c.length, used);
  std::sort(ranges.begin(), ranges.end());
  std::sort(expected.begin(), expected.end());
  if (c.length < 2 * CBlockPlan::kMinPart) {
    EXPECT_EQ(ranges, expected);
  } else {
    // Big enough for a block that finishes first to take half of another:
    // the first requests are the fixed split all the same.
    EXPECT_TRUE(std::includes(ranges.begin(), ranges.end(), expected.begin(), expected.end()));
  }
  const std::vector<std::string> tail = {T(txt::kJobAllBlocksDone), T(txt::kJobMerging), T(txt::kJobSucceeded)};
  EXPECT_EQ(owner.JobTexts(), tail);
  ExpectNoLeftovers(target);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BlockJobBytes, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& i) {
                           return "N" + std::to_string(i.param.blocks) + "_L" + std::to_string(i.param.length);
                         });

TEST_F(BlockJob, TenBytesInFourBlocksGiveTwoTwoTwoFour) {
  srv.route("/a.mp3", Route::File("0123456789"));
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, owner);
  Run(*job, owner);
  ASSERT_EQ(owner.successes(), 1);
  auto ranges = bdtest::BlockRanges(srv, "/a.mp3");
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=0-", "bytes=2-3", "bytes=4-5", "bytes=6-9"}));
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), "0123456789");
}

TEST_F(BlockJob, ServerWithoutRangesGetsOneBlockWithoutRangeLine) {
  const std::string body = vtest::RandomBytes(5000);
  Route r = Route::File(body);
  r.faults.ignoreRange = true;
  srv.route("/a.mp3", r);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, owner, true);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(job->m_nBlocks, 1);
  // The 200 to the first request is the whole file: nothing is asked again.
  EXPECT_EQ(bdtest::BlockRanges(srv, "/a.mp3"), std::vector<std::string>{"bytes=0-"});
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
}

TEST_F(BlockJob, ServerWithoutRangesRestartsEveryAttemptFromTheStart) {
  Route r = Route::File(vtest::RandomBytes(3000));
  r.faults.ignoreRange = true;
  r.faults.closeAfterBodyBytes = 400;
  srv.route("/a.mp3", r);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 3, owner, true);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.successes(), 0);
  // The first attempt brought bytes; the three after it only brought the
  // same ones again, which is no progress.
  EXPECT_EQ(bdtest::BlockRanges(srv, "/a.mp3"), (std::vector<std::string>{"bytes=0-", "", "", ""}));
  EXPECT_FALSE(bdtest::Exists(Target("a.mp3")));
}

TEST_F(BlockJob, RedirectTargetServesTheBlocksAndTheUrlStays) {
  const std::string body = vtest::RandomBytes(9000);
  srv.route("/a.mp3", Route::File(body));
  srv.route("/old.mp3", Route::Redirect(302, "/a.mp3"));
  const std::string url = srv.url("/old.mp3");
  auto job = Job(url, Target("a.mp3"), 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(job->m_strURL, url);
  EXPECT_EQ(srv.requestsFor("/old.mp3").size(), 1u);
  // After the redirect: the first request, which is block 0's, and two blocks.
  EXPECT_EQ(srv.requestsFor("/a.mp3").size(), 3u);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
}

TEST_F(BlockJob, ExistingTargetIsReplaced) {
  const std::string body = vtest::RandomBytes(3000);
  srv.route("/a.mp3", Route::File(body));
  ASSERT_TRUE(vtest::WriteFile(Target("a.mp3"), std::string(10000, 'x')));
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
}

TEST_F(BlockJob, UnreachableServerFailsTheStartWithTheInfoText) {
  auto job = Job("http://127.0.0.1:" + std::to_string(vtest::UnusedLoopbackPort()) + "/a.mp3", Target("a.mp3"), 4, owner);
  CBlockDownloader::Start(job.get());
  // Preparing runs on the caller's thread: the result is there at once.
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.successes(), 0);
  EXPECT_EQ(owner.JobTexts(),
            std::vector<std::string>{T(txt::kJobStartError) + T(txt::kJobFileInfoError)});
  EXPECT_EQ(bdtest::BlockThreads(), 0);
  job->Stop();
}

TEST_F(BlockJob, ZeroLengthFailsTheStart) {
  srv.route("/empty.mp3", Route::File(""));
  Owner o;
  auto job = Job(srv.url("/empty.mp3"), Target("a.mp3"), 4, o);
  CBlockDownloader::Start(job.get());
  EXPECT_EQ(o.failures(), 1);
  EXPECT_EQ(o.JobTexts(), std::vector<std::string>{T(txt::kJobStartError) + T(txt::kJobZeroLength)});
  EXPECT_EQ(bdtest::BlockThreads(), 0);
  EXPECT_EQ(srv.requestsFor("/empty.mp3").size(), 1u) << "its answer says it all";
  job->Stop();
}

TEST_F(BlockJob, BlockCountBelowOneFailsWithoutTouchingTheNetwork) {
  srv.route("/a.mp3", Route::File("0123456789"));
  for (int n : {0, -3}) {
    Owner o;
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), n, o);
    CBlockDownloader::Start(job.get());
    EXPECT_EQ(o.failures(), 1);
    EXPECT_EQ(o.JobTexts(), std::vector<std::string>{T(txt::kJobStartError) + T(txt::kJobUnknownError)});
    job->Stop();
  }
  EXPECT_TRUE(srv.requests().empty());
  EXPECT_EQ(bdtest::BlockThreads(), 0);
}

TEST_F(BlockJob, EmptyAddressOrTargetDoesNothing) {
  srv.route("/a.mp3", Route::File("0123456789"));
  auto noUrl = Job("", Target("a.mp3"), 2, owner);
  CBlockDownloader::Start(noUrl.get());
  auto noTarget = Job(srv.url("/a.mp3"), "", 2, owner);
  CBlockDownloader::Start(noTarget.get());
  EXPECT_EQ(owner.successes() + owner.failures(), 0);
  EXPECT_TRUE(owner.messages().empty());
  EXPECT_TRUE(srv.requests().empty());
}

TEST_F(BlockJob, ErrorPageNeverBecomesTheSong) {
  auto job = Job(srv.url("/missing.mp3"), Target("a.mp3"), 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.successes(), 0);
  EXPECT_FALSE(bdtest::Exists(Target("a.mp3")));
}

TEST_F(BlockJob, SeveralJobsAtOnceAreEachByteExact) {
  constexpr int kJobs = 4;
  std::vector<std::string> bodies;
  std::vector<std::unique_ptr<Owner>> owners;
  std::vector<std::unique_ptr<CBlockDownloader>> jobs;
  for (int i = 0; i < kJobs; ++i) {
    bodies.push_back(vtest::RandomBytes(200000 + 17 * static_cast<size_t>(i), 100u + static_cast<uint32_t>(i)));
    const std::string path = "/s" + std::to_string(i) + ".mp3";
    srv.route(path, Route::File(bodies.back()));
    owners.push_back(std::make_unique<Owner>());
    jobs.push_back(Job(srv.url(path), Target("s" + std::to_string(i) + ".mp3"), 3, *owners.back()));
  }
  for (auto& j : jobs) CBlockDownloader::Start(j.get());
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_TRUE(owners[i]->WaitEnd()) << i;
    jobs[i]->Stop();
    EXPECT_EQ(owners[i]->successes(), 1) << i;
    EXPECT_EQ(vtest::ReadFile(Target("s" + std::to_string(i) + ".mp3")), bodies[i]) << i;
  }
  EXPECT_TRUE(bdtest::WaitNoBlockThreads());
}

}  // namespace

// A job whose owner listens to nothing still lands the file whole.
TEST_F(BlockJob, AJobWithoutAListenerStillLandsTheFile) {
  const std::string body = vtest::RandomBytes(300000, 11u);
  srv.route("/quiet.mp3", Route::File(body));
  const std::string target = Target("quiet.mp3");
  auto job = Job(srv.url("/quiet.mp3"), target, 3, owner);
  job->m_pUserData = nullptr;
  CBlockDownloader::Start(job.get());
  bool landed = false;
  for (int waited = 0; waited < 20000 && !landed; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    landed = bdtest::Exists(target) && vtest::ReadFile(target) == body;
  }
  job->Stop();
  EXPECT_TRUE(landed);
  EXPECT_EQ(owner.successes() + owner.failures(), 0);
  EXPECT_TRUE(owner.messages().empty());
}
