// Stopping and destroying jobs from every thread that may do it, while their
// blocks are blocked in receives, failing or finishing.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::MsSince;
using bdtest::Owner;
using vtest::Route;
using Clock = std::chrono::steady_clock;

class BlockJobStop : public bdtest::JobFixture {
 protected:
  // Every block gets a little and then hears nothing for far longer than
  // any test runs.
  void StallingRoute() {
    Route r = Route::File(vtest::RandomBytes(400000, 3));
    r.faults.stallAfterBodyBytes = 2000;
    r.faults.stallMs = 60000;
    srv.route("/a.mp3", r);
  }
  // Ranged blocks fail at once (the reply's range is not the one asked
  // for); the first block, asked without a range, succeeds.
  void FailingBlocksRoute() {
    Route r = Route::File(vtest::RandomBytes(40000, 4));
    r.faults.contentRangeShift = 7;
    srv.route("/a.mp3", r);
  }
};

TEST_F(BlockJobStop, StopDuringStalledTransferIsPromptAndLeavesNoThread) {
  StallingRoute();
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, owner, true);
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(srv.waitForRequests(4, 10000));
  ASSERT_TRUE(owner.WaitProgress());
  const auto t0 = Clock::now();
  job->Stop();
  EXPECT_LT(MsSince(t0), 2000);
  EXPECT_TRUE(bdtest::WaitNoBlockThreads(1000));
  EXPECT_EQ(owner.successes() + owner.failures(), 0);
  // What arrived stays for the next run.
  EXPECT_TRUE(bdtest::Exists(BlockFile("a.mp3", 0)));
  EXPECT_TRUE(bdtest::Exists(Sidecar("a.mp3")));
  EXPECT_FALSE(bdtest::Exists(Target("a.mp3")));
}

TEST_F(BlockJobStop, StopInsideProgressOnABlockThread) {
  StallingRoute();
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, owner);
  // Not std::call_once: it would hold the other blocks' progress calls
  // until this Stop returns, and this Stop joins those very threads.
  std::atomic<bool> first{true};
  std::atomic<long long> stopMs{-1};
  owner.onProgress = [&](int, int, int) {
    if (!first.exchange(false)) return;
    const auto t0 = Clock::now();
    job->Stop();
    stopMs = MsSince(t0);
  };
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(owner.WaitProgress());
  ASSERT_TRUE(bdtest::WaitNoBlockThreads(5000));
  EXPECT_GE(stopMs.load(), 0);
  EXPECT_LT(stopMs.load(), 2000);
  EXPECT_EQ(owner.successes() + owner.failures(), 0);
  job.reset();
}

TEST_F(BlockJobStop, BlocksFailingTogetherFailTheJobOnce) {
  FailingBlocksRoute();
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, owner);
  Run(*job, owner);
  EXPECT_TRUE(bdtest::WaitNoBlockThreads());
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.successes(), 0);
  EXPECT_FALSE(bdtest::Exists(Target("a.mp3")));
}

TEST_F(BlockJobStop, JobDeletedInsideItsOnFailure) {
  FailingBlocksRoute();
  CBlockDownloader* job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, owner).release();
  owner.onFailure = [&] {
    job->Stop();
    delete job;
  };
  CBlockDownloader::Start(job);
  ASSERT_TRUE(owner.WaitEnd());
  ASSERT_TRUE(bdtest::WaitNoBlockThreads());
  EXPECT_EQ(owner.failures(), 1);
}

TEST_F(BlockJobStop, AThreadThatCannotBeCreatedEndsTheJobOnceAndLeavesNoThread) {
  // The system refuses the first, second or third block thread: those
  // already running are stopped and joined, the job fails once with the
  // start error, and a later job on the same files succeeds.
  const std::string body = vtest::RandomBytes(60000, 5);
  srv.route("/a.mp3", Route::File(body));
  for (int refused = 0; refused < 3; ++refused) {
    SCOPED_TRACE(refused);
    CBlockDownloader::SetThreadStartHook([refused](int n) {
      if (n == refused) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    Owner o;
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 3, o, true);
    std::thread starter([&] { CBlockDownloader::Start(job.get()); });
    if (!o.WaitEnd(30000)) {
      // Start and a block waiting for each other: nothing can be joined.
      ADD_FAILURE() << "the job never ended";
      std::fflush(stdout);
      std::_Exit(1);
    }
    starter.join();
    CBlockDownloader::SetThreadStartHook({});
    job->Stop();
    EXPECT_TRUE(bdtest::WaitNoBlockThreads());
    EXPECT_EQ(o.successes(), 0);
    EXPECT_EQ(o.failures(), 1);
    ASSERT_FALSE(o.JobTexts().empty());
    EXPECT_EQ(o.JobTexts().back(), T(txt::kJobStartError) + T(txt::kJobUnknownError));
    EXPECT_FALSE(bdtest::Exists(Target("a.mp3")));
  }
  Owner again;
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 3, again, true);
  Run(*job, again);
  EXPECT_EQ(again.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
}

TEST_F(BlockJobStop, JobDeletedInsideItsOnSuccess) {
  const std::string body = vtest::RandomBytes(30000, 8);
  srv.route("/a.mp3", Route::File(body));
  CBlockDownloader* job = Job(srv.url("/a.mp3"), Target("a.mp3"), 3, owner).release();
  owner.onSuccess = [&] {
    job->Stop();
    delete job;
  };
  CBlockDownloader::Start(job);
  ASSERT_TRUE(owner.WaitEnd());
  ASSERT_TRUE(bdtest::WaitNoBlockThreads());
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
}

TEST_F(BlockJobStop, OwnerStopRacingABlockFailure) {
  FailingBlocksRoute();
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    Owner o;
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, o);
    CBlockDownloader::Start(job.get());
    std::this_thread::sleep_for(std::chrono::microseconds(300 * (round % 10)));
    job->Stop();
    const int atStop = o.failures() + o.successes();
    EXPECT_LE(atStop, 1);
    EXPECT_TRUE(bdtest::WaitNoBlockThreads());
    EXPECT_EQ(o.failures() + o.successes(), atStop) << "a callback after Stop returned";
  }
}

TEST_F(BlockJobStop, StopFromAnotherThreadWhileStartWaitsForTheServer) {
  Route r = Route::File(vtest::RandomBytes(5000));
  r.faults.headerDelayMs = 30000;
  srv.route("/a.mp3", r);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, owner);
  std::thread starter([&] { CBlockDownloader::Start(job.get()); });
  ASSERT_TRUE(srv.waitForRequests(1, 10000));
  const auto t0 = Clock::now();
  job->Stop();
  EXPECT_LT(MsSince(t0), 2000);
  starter.join();
  EXPECT_EQ(owner.successes() + owner.failures(), 0);
  EXPECT_EQ(bdtest::BlockThreads(), 0);
}

TEST_F(BlockJobStop, RepeatedStartAndStopMidTransfer) {
  Route r = Route::File(vtest::RandomBytes(300000, 6));
  r.faults.rateBytesPerSec = 400000;
  srv.route("/a.mp3", r);
  for (int round = 0; round < 15; ++round) {
    SCOPED_TRACE(round);
    Owner o;
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 3, o, true);
    CBlockDownloader::Start(job.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
    job->Stop();
    EXPECT_LE(o.failures() + o.successes(), 1);
    EXPECT_TRUE(bdtest::WaitNoBlockThreads(1000));
  }
}

TEST_F(BlockJobStop, DestroyingARunningJobStopsIt) {
  StallingRoute();
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner);
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(owner.WaitProgress());
  const auto t0 = Clock::now();
  job.reset();
  EXPECT_LT(MsSince(t0), 2000);
  EXPECT_TRUE(bdtest::WaitNoBlockThreads(1000));
}

TEST_F(BlockJobStop, TwoThreadsStoppingAtOnce) {
  StallingRoute();
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 4, owner);
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(owner.WaitProgress());
  const auto t0 = Clock::now();
  std::thread other([&] { job->Stop(); });
  job->Stop();
  other.join();
  EXPECT_LT(MsSince(t0), 2000);
  EXPECT_TRUE(bdtest::WaitNoBlockThreads(1000));
  EXPECT_EQ(owner.successes() + owner.failures(), 0);
}

}  // namespace
