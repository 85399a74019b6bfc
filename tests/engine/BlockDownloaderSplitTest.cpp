// Blocks that finish early help the one that would finish last: a slowed
// block is split or taken over, a silent connection is dropped, and the
// record of ranges lets a later job continue every block file.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>

#include "engine/job/Sidecar.h"
#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Faults;
using vtest::Route;

constexpr int kLength = 2 * 1024 * 1024;
const std::string kSecondHalf = "bytes=1048576-2097151";  // block 1 of 2

class BlockJobSplit : public bdtest::JobFixture {
 protected:
  void TearDown() override { GetTimeOut = 15; }

  // Block 1 of a 2-block job crawls (its first request only, unless
  // `always`); everything else is served at full speed.
  void SlowedRoute(const std::string& path, long long rate, bool always = false) {
    Route r = Route::File(m_body);
    Faults slow;
    slow.rateBytesPerSec = rate;
    slow.onlyFirst = always ? 0 : 1;
    r.rangeFaults[kSecondHalf] = slow;
    srv.route(path, r);
  }
  // Everything slow enough that a split-off block is still running when
  // the test looks, and block 1 slower still.
  void CrawlingRoute(const std::string& path) {
    Route r = Route::File(m_body);
    r.faults.rateBytesPerSec = 1024 * 1024;
    Faults slower;
    slower.rateBytesPerSec = 32 * 1024;
    r.rangeFaults[kSecondHalf] = slower;
    srv.route(path, r);
  }
  // Waits (bounded) until the job has split into at least `rows` block files.
  bool WaitRows(CBlockDownloader& job, size_t rows, int ms = 20000) {
    return bdtest::WaitFor([&] { return job.GetBlockSnapshot().size() >= rows; }, ms);
  }
  // The ranges of the job's requests, its first ("bytes=0-") included.
  std::vector<std::string> Ranges(const std::string& path) {
    auto r = bdtest::BlockRanges(srv, path);
    std::sort(r.begin(), r.end());
    return r;
  }

  const std::string m_body = vtest::RandomBytes(kLength, 77);
};

TEST_F(BlockJobSplit, SlowedBlockIsSplitAndTheFileIsByteExact) {
  // 32 s for its megabyte alone: the bounded wait below ends sooner.
  SlowedRoute("/a.mp3", 32 * 1024, true);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  // When a new block's first bytes arrive, the record on disk must already
  // name its range.
  std::atomic<int> recorded{-1};
  owner.onProgress = [&](int, int, int index) {
    if (index < 2 || recorded >= 0) return;
    auto record = CSidecar::Read(Sidecar("a.mp3"));
    int found = 0;
    for (const auto& r : record ? record->m_ranges : std::vector<PlanRange>{}) found += r.m_nBlock == index;
    recorded = found;
  };
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(WaitRows(*job, 3));
  // The rows cover the file once, in whatever order their numbers came.
  auto rows = job->GetBlockSnapshot();
  std::sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.m_nFirst < b.m_nFirst; });
  long long next = 0;
  for (const auto& r : rows) {
    EXPECT_EQ(r.m_nFirst, next) << r.m_nBlock;
    EXPECT_LE(r.m_nBytes, r.m_nLast - r.m_nFirst + 1);
    next = r.m_nLast + 1;
  }
  EXPECT_EQ(next, kLength);
  ASSERT_TRUE(owner.WaitEnd());
  EXPECT_EQ(recorded, 1);
  job->Stop();
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
  ExpectNoLeftovers(Target("a.mp3"));
  // Some block asked for bytes inside the slowed block's range.
  int inside = 0;
  for (const auto& range : Ranges("/a.mp3"))
    inside += range != kSecondHalf && !range.empty() && std::atoll(range.c_str() + 6) > 1048576;
  EXPECT_GE(inside, 1);
}

TEST_F(BlockJobSplit, BlocksOfEqualSpeedEndWithoutExtraRequests) {
  // Under twice the smallest part: no split ever pays.
  const std::string body = vtest::RandomBytes(2 * CBlockPlan::kMinPart - 2, 5);
  srv.route("/a.mp3", Route::File(body));
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
  EXPECT_EQ(Ranges("/a.mp3").size(), 2u);
}

TEST_F(BlockJobSplit, SilentConnectionIsDroppedWhileOthersFlow) {
  // Block 1's first request hears nothing for a minute; block 0 trickles
  // for several seconds. Without a take-over the job would wait out the
  // 30 s receive time-out.
  GetTimeOut = 30;
  Route r = Route::File(m_body);
  r.faults.rateBytesPerSec = 200 * 1024;
  Faults silent;
  silent.stallMs = 60000;
  silent.onlyFirst = 1;
  r.rangeFaults[kSecondHalf] = silent;
  srv.route("/a.mp3", r);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(owner.WaitEnd(25000));
  job->Stop();
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
  int asked = 0;
  for (const auto& range : Ranges("/a.mp3")) asked += range == kSecondHalf;
  EXPECT_EQ(asked, 2) << "asked again on a fresh connection";
}

TEST_F(BlockJobSplit, StoppedAfterASplitALaterJobAsksOnlyForMissingBytes) {
  CrawlingRoute("/a.mp3");
  {
    Owner first;
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, first, true);
    CBlockDownloader::Start(job.get());
    ASSERT_TRUE(WaitRows(*job, 3));
    job->Stop();
    EXPECT_EQ(first.successes() + first.failures(), 0);
  }
  auto record = CSidecar::Read(Sidecar("a.mp3"));
  ASSERT_TRUE(record);
  ASSERT_GE(record->m_ranges.size(), 3u);
  // What each block file lacks, as the second job must ask for it.
  std::vector<std::string> missing;
  for (const auto& r : record->m_ranges) {
    const long long have = static_cast<long long>(vtest::ReadFile(BlockFile("a.mp3", r.m_nBlock)).size());
    ASSERT_LE(have, r.m_nLast - r.m_nFirst + 1) << r.m_nBlock;
    const long long from = r.m_nFirst + have;
    if (from > r.m_nLast) continue;  // whole: no request at all
    missing.push_back(from == 0 ? "bytes=0-" : "bytes=" + std::to_string(from) + "-" + std::to_string(r.m_nLast));
  }
  std::sort(missing.begin(), missing.end());

  // Same address (block files of another one start afresh), healthy now.
  srv.route("/a.mp3", Route::File(m_body));
  ASSERT_TRUE(srv.waitAllClosed(10000));
  srv.clearRequests();
  auto again = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  // Speeds are even now, and what is left is small: the plan stays as recorded.
  Run(*again, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
  const auto asked = Ranges("/a.mp3");
  EXPECT_TRUE(std::includes(asked.begin(), asked.end(), missing.begin(), missing.end()))
      << testing::PrintToString(asked) << " vs " << testing::PrintToString(missing);
  // Any request beyond those is a split of the second job, inside what was
  // missing: never bytes the first one left on disk.
  for (const auto& range : asked) {
    // The first request is asked whatever block 0 holds.
    if (range == "bytes=0-" || std::find(missing.begin(), missing.end(), range) != missing.end()) continue;
    const long long from = std::atoll(range.c_str() + 6);
    bool inside = false;
    for (const auto& m : missing) {
      const long long a = std::atoll(m.c_str() + 6);
      const long long b = std::atoll(m.c_str() + m.find('-') + 1);
      inside = inside || (from > a && from <= b);
    }
    EXPECT_TRUE(inside) << range;
  }
  ExpectNoLeftovers(Target("a.mp3"));
}

TEST_F(BlockJobSplit, StopWhileSplittingLeavesNoThread) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const std::string path = "/s" + std::to_string(round) + ".mp3";
    CrawlingRoute(path);
    Owner o;
    auto job = Job(srv.url(path), Target("s.mp3"), 2, o);
    std::atomic<bool> split{false};
    // The new block's first bytes: its thread is inside the job right now.
    o.onProgress = [&](int, int, int index) {
      if (index >= 2) split = true;
    };
    CBlockDownloader::Start(job.get());
    ASSERT_TRUE(bdtest::WaitFor([&] { return split.load(); }, 20000));
    job->Stop();
    EXPECT_TRUE(bdtest::WaitNoBlockThreads(2000));
    EXPECT_EQ(o.successes() + o.failures(), 0);
    EXPECT_TRUE(job->GetBlockSnapshot().empty());
  }
}

}  // namespace
