// Hosts that pause: a block goes on for as long as its attempts bring
// bytes, gives up after attempts in a row that bring next to nothing, and
// never throws away what an earlier attempt wrote.
#include <algorithm>

#include "engine/job/AttemptBudget.h"
#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

TEST(AttemptBudget, AFairShareIsSixtyFourKibOrOnePercentOfTheBlock) {
  EXPECT_EQ(CAttemptBudget::Threshold(100LL * 1024 * 1024), 64 * 1024);
  EXPECT_EQ(CAttemptBudget::Threshold(6553600), 64 * 1024);
  EXPECT_EQ(CAttemptBudget::Threshold(6553500), 65535);
  EXPECT_EQ(CAttemptBudget::Threshold(1000), 10);
  EXPECT_EQ(CAttemptBudget::Threshold(50), 1) << "a tiny block still needs a byte";
  EXPECT_EQ(CAttemptBudget::Threshold(-1), 64 * 1024) << "unknown length";
}

TEST(AttemptBudget, OnlyBarrenAttemptsInARowUseItUp) {
  const long long block = 10 * 1024 * 1024;
  CAttemptBudget budget;
  // Any number of attempts that each bring a fair share cost nothing.
  for (int i = 0; i < 50; ++i) budget.EndAttempt(64 * 1024, block);
  EXPECT_TRUE(budget.Left());
  budget.EndAttempt(0, block);
  budget.EndAttempt(64 * 1024 - 1, block);
  EXPECT_EQ(budget.Barren(), 2);
  budget.EndAttempt(64 * 1024, block);  // progress starts the count again
  EXPECT_EQ(budget.Barren(), 0);
  for (int i = 0; i < 2; ++i) budget.EndAttempt(100, block);
  EXPECT_TRUE(budget.Left());
  budget.EndAttempt(100, block);
  EXPECT_FALSE(budget.Left());
}

class BlockJobStall : public bdtest::JobFixture {
 protected:
  void SetUp() override { GetTimeOut = 1; }  // a pause over a second ends an attempt
  void TearDown() override { GetTimeOut = 15; }
};

TEST_F(BlockJobStall, HostPausingAfterEveryPieceEndsByteExactWithoutRefetching) {
  // Every reply pauses after each 48 KiB: four attempts, three of them cut
  // by a pause. Started afresh, yet each re-ask goes on where the file is.
  const int piece = 48 * 1024;
  const std::string body = vtest::RandomBytes(4 * piece, 3);
  Route r = Route::File(body);
  r.faults.pauseEveryBytes = piece;
  r.faults.pauseMs = 1600;
  srv.route("/p.mp3", r);
  auto job = Job(srv.url("/p.mp3"), Target("p.mp3"), 1, owner, /*resume=*/false);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("p.mp3")), body);
  const auto ranges = bdtest::BlockRanges(srv, "/p.mp3");
  ASSERT_GE(ranges.size(), 4u) << testing::PrintToString(ranges);
  for (size_t i = 1; i < ranges.size(); ++i)
    EXPECT_NE(ranges[i], ranges[0]) << "asked again from the start: " << testing::PrintToString(ranges);
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), "bytes=" + std::to_string(3 * piece) + "-" +
                                                         std::to_string(4 * piece - 1)),
            1);
}

TEST_F(BlockJobStall, AttemptsThatBringNextToNothingFailTheBlockWithTheirCause) {
  // A few bytes, then silence, on every request.
  const std::string body = vtest::RandomBytes(1024 * 1024, 4);
  Route r = Route::File(body);
  r.faults.stallAfterBodyBytes = 100;
  r.faults.stallMs = 30000;
  srv.route("/s.mp3", r);
  auto job = Job(srv.url("/s.mp3"), Target("s.mp3"), 1, owner, true);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.Count(T(txt::kSockStalledOut), 0), 1);
  EXPECT_EQ(bdtest::BlockRanges(srv, "/s.mp3").size(), 3u);
}

TEST_F(BlockJobStall, RefusalsKeepTheirOwnText) {
  // Three answers that are no reply to the request are not a pause.
  const std::string body = vtest::RandomBytes(300 * 1024, 5);
  Route r = Route::File(body);
  r.faults.failFirst = 100;
  r.faults.failStatus = 500;  // a refusal; a busy host would be waited for
  r.faults.notFirst = 1;
  // The first request tells the file's facts and brings next to nothing.
  vtest::Faults cut;
  cut.closeAfterBodyBytes = 100;
  r.rangeFaults["bytes=0-"] = cut;
  srv.route("/f.mp3", r);
  auto job = Job(srv.url("/f.mp3"), Target("f.mp3"), 1, owner, true);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.Count(T(txt::kSockStalledOut), 0), 0);
  EXPECT_EQ(bdtest::BlockRanges(srv, "/f.mp3").size(), 3u);
}

}  // namespace
