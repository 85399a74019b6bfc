// Where a job's ranges are split: decisions from counts and speeds alone.
#include <gtest/gtest.h>

#include "engine/job/BlockPlan.h"

namespace {

constexpr long long kKiB = 1024;
constexpr long long kMiB = 1024 * 1024;

// Every block started, with the given bytes received and speed (bytes/s)
// measured over enough windows.
CBlockPlan Running(long long length, int blocks, std::vector<std::pair<long long, long long>> state) {
  CBlockPlan p;
  p.FixedSplit(length, blocks);
  for (size_t i = 0; i < state.size(); ++i) {
    PlanBlock& b = p.Blocks()[i];
    b.m_bStarted = true;
    b.m_nBytes = state[i].first;
    b.m_nSpeed = state[i].second;
    b.m_nWindows = CBlockPlan::kSettleWindows;  // flowing for a while
    if (b.m_nBytes == b.Length()) b.m_bDone = true;
  }
  return p;
}

// Block i has received all its bytes.
void Finish(CBlockPlan& p, size_t i) {
  PlanBlock& b = p.Blocks()[i];
  b.m_nBytes = b.Length();
  b.m_bDone = true;
}

TEST(BlockPlan, FixedSplitGivesTheRemainderToTheLastBlock) {
  CBlockPlan p;
  p.FixedSplit(10, 4);
  const auto r = p.Ranges();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].m_nLast, 1);
  EXPECT_EQ(r[2].m_nFirst, 4);
  EXPECT_EQ(r[3].m_nFirst, 6);
  EXPECT_EQ(r[3].m_nLast, 9);
  EXPECT_EQ(p.NextNumber(), 4);
}

TEST(BlockPlan, StoredRangesMustCoverTheFileOnce) {
  CBlockPlan p;
  EXPECT_TRUE(p.SetRanges(100, {{0, 0, 49}, {2, 50, 69}, {1, 70, 99}}));
  EXPECT_EQ(p.NextNumber(), 3);
  EXPECT_EQ(p.Ranges()[1].m_nBlock, 2);  // file order, not number order
  EXPECT_FALSE(p.SetRanges(100, {{0, 0, 49}, {1, 51, 99}}));  // gap
  EXPECT_FALSE(p.SetRanges(100, {{0, 0, 50}, {1, 50, 99}}));  // overlap
  EXPECT_FALSE(p.SetRanges(100, {{0, 0, 49}, {0, 50, 99}}));  // number twice
  EXPECT_FALSE(p.SetRanges(100, {{0, 0, 49}}));               // short of the end
  EXPECT_FALSE(p.SetRanges(100, {{0, 0, 149}}));              // past the end
  EXPECT_FALSE(p.SetRanges(100, {{0, 0, 49}, {1, 60, 55}}));  // backwards
  EXPECT_FALSE(p.SetRanges(100, {}));
  EXPECT_EQ(p.Ranges().size(), 3u) << "a refused set changes nothing";
}

TEST(BlockPlan, FinishingBlockTakesTheFarHalfOfTheLongestExpectedTime) {
  // Block 1 has more bytes left, block 2 is slower: block 2 ends last.
  // Half as fast as the rest: not slow enough to hand over whole.
  auto p = Running(16 * kMiB, 4, {{4 * kMiB, 2 * kMiB}, {1 * kMiB, 2 * kMiB}, {2 * kMiB, 1 * kMiB},
                                   {4 * kMiB, 2 * kMiB}});
  auto s = p.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->m_nVictim, 2);
  EXPECT_FALSE(s->m_bTakeOver);
  // Block 2 covers 8..12 MiB and has 2 MiB: the far half of its last 2 MiB.
  EXPECT_EQ(s->m_nCut, 11 * kMiB);
  EXPECT_EQ(p.ApplySplit(s->m_nVictim, s->m_nCut), 4);
  EXPECT_EQ(p.Find(2)->m_nLast, 11 * kMiB - 1);
  EXPECT_EQ(p.Find(4)->m_nFirst, 11 * kMiB);
  EXPECT_EQ(p.Find(4)->m_nLast, 12 * kMiB - 1);
}

TEST(BlockPlan, UnmeasuredBlocksCountAsAverageAndAStalledOneAsEndless) {
  // Block 1 just started (no speed yet): judged at the others' average.
  auto p = Running(8 * kMiB, 2, {{4 * kMiB, 1 * kMiB}, {0, -1}});
  ASSERT_TRUE(p.ChooseSplit(-1));
  EXPECT_EQ(p.ChooseSplit(-1)->m_nVictim, 1);
  // A connection that sends nothing ends never, however little it has left.
  auto q = Running(12 * kMiB, 3, {{4 * kMiB, 1 * kMiB}, {1 * kMiB, 1 * kMiB}, {3 * kMiB, 0}});
  EXPECT_EQ(q.ChooseSplit(1 * kMiB)->m_nVictim, 2);
}

TEST(BlockPlan, NoPartUnderTheMinimum) {
  const long long min = CBlockPlan::kMinPart;
  // Exactly twice the minimum left: split into two minimum parts.
  auto p = Running(4 * min, 2, {{2 * min, 1 * kMiB}, {0, 1 * kMiB}});
  auto s = p.ChooseSplit(1 * kMiB);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->m_nCut, 3 * min);
  // One byte less: not split, and not slow enough to hand over whole.
  auto q = Running(4 * min, 2, {{2 * min, 1 * kMiB}, {1, 1 * kMiB}});
  EXPECT_FALSE(q.ChooseSplit(1 * kMiB));
  // Nothing started, or everything done: nothing to split.
  CBlockPlan idle;
  idle.FixedSplit(8 * kMiB, 2);
  EXPECT_FALSE(idle.ChooseSplit(1 * kMiB));
  EXPECT_FALSE(Running(2 * kMiB, 2, {{1 * kMiB, 1}, {1 * kMiB, 1}}).ChooseSplit(1));
}

TEST(BlockPlan, SlowSmallRemainderIsTakenOverWhole) {
  // 400 KiB left at 256 KiB/s is 1.6 s; a fresh 2 MiB/s connection needs a
  // fraction of that, so the whole remainder moves.
  auto p = Running(8 * kMiB, 2, {{4 * kMiB, 2 * kMiB}, {4 * kMiB - 400 * kKiB, 256 * kKiB}});
  auto s = p.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->m_bTakeOver);
  EXPECT_EQ(s->m_nCut, 8 * kMiB - 400 * kKiB);
  // Far slower with much left: all of it moves too, not only half.
  auto big = Running(8 * kMiB, 2, {{4 * kMiB, 2 * kMiB}, {100 * kKiB, 256 * kKiB}});
  ASSERT_TRUE(big.ChooseSplit(2 * kMiB));
  EXPECT_TRUE(big.ChooseSplit(2 * kMiB)->m_bTakeOver);
  EXPECT_EQ(big.ChooseSplit(2 * kMiB)->m_nCut, 4 * kMiB + 100 * kKiB);
  // Nothing received yet: nothing to keep, so it is halved instead.
  auto none = Running(8 * kMiB, 2, {{4 * kMiB, 2 * kMiB}, {0, 0}});
  EXPECT_FALSE(none.ChooseSplit(2 * kMiB)->m_bTakeOver);
  // As fast as the helper: stays where it is.
  auto q = Running(8 * kMiB, 2, {{4 * kMiB, 2 * kMiB}, {4 * kMiB - 400 * kKiB, 2 * kMiB}});
  EXPECT_FALSE(q.ChooseSplit(2 * kMiB));
  // Under the minimum left: a new connection is not worth it.
  auto r = Running(8 * kMiB, 2, {{4 * kMiB, 2 * kMiB}, {4 * kMiB - 200 * kKiB, 1 * kKiB}});
  EXPECT_FALSE(r.ChooseSplit(2 * kMiB));
}

TEST(BlockPlan, ConnectionsAboutToBeFreeShareASlowRemainder) {
  // Three fast blocks end together; the slow one still has 3.5 MiB. The
  // first helper takes a third from the far end and leaves the rest in the
  // victim, which the next two can cut at once.
  const long long left = 3 * kMiB + 512 * kKiB;
  auto p = Running(16 * kMiB, 4,
                   {{4 * kMiB - 20 * kKiB, 2 * kMiB}, {4 * kMiB, 2 * kMiB}, {4 * kMiB - 30 * kKiB, 2 * kMiB},
                    {4 * kMiB - left, 256 * kKiB}});
  auto s = p.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->m_nVictim, 3);
  EXPECT_FALSE(s->m_bTakeOver);
  EXPECT_EQ(s->m_nCut, 16 * kMiB - left / 3);
  p.ApplySplit(3, s->m_nCut);
  Finish(p, 0);
  // The second: one other is about to be free, so half of what is left.
  auto t = p.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->m_nVictim, 3);
  const long long rest = s->m_nCut - (12 * kMiB + 4 * kMiB - left);
  EXPECT_EQ(t->m_nCut, s->m_nCut - rest / 2);
  // The last, alone: the whole remainder, as before.
  p.ApplySplit(3, t->m_nCut);
  Finish(p, 2);
  auto u = p.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->m_nVictim, 3);
  EXPECT_TRUE(u->m_bTakeOver);
}

TEST(BlockPlan, SpeedFollowsWindowsOfReceivedCounts) {
  CBlockPlan p;
  p.FixedSplit(8 * kMiB, 1);
  p.Observe(0, 0, 1000);
  EXPECT_EQ(p.Find(0)->m_nSpeed, -1) << "one count is no speed";
  p.Observe(0, 100 * kKiB, 1100);
  EXPECT_EQ(p.Find(0)->m_nSpeed, -1) << "window too short";
  p.Observe(0, 500 * kKiB, 1500);
  EXPECT_EQ(p.Find(0)->m_nSpeed, 1000 * kKiB);
  p.Observe(0, 500 * kKiB, 2000);  // nothing came for half a second
  EXPECT_EQ(p.Find(0)->m_nSpeed, 500 * kKiB);
  p.Idle(0);
  EXPECT_EQ(p.Find(0)->m_nSpeed, -1);
  p.Observe(7, 1, 1);  // no such block: ignored
}

TEST(BlockPlan, SpeedStartsAtTheFirstBodyByteAndTheWaitIsANewRequestsCost) {
  CBlockPlan p;
  p.FixedSplit(8 * kMiB, 1);
  // Asked at 1000; no reply for 3.5 s: the count moves, no speed is made up.
  p.Flow(0, 0, 1000, -1, 2000);
  p.Flow(0, 0, 1000, -1, 4000);
  EXPECT_EQ(p.Find(0)->m_nSpeed, -1);
  EXPECT_EQ(p.FirstByteCostMs(), 0);
  p.Flow(0, 10 * kKiB, 1000, 4500, 4600);
  EXPECT_EQ(p.FirstByteCostMs(), 3500);
  p.Flow(0, 310 * kKiB, 1000, 4500, 4900);
  EXPECT_EQ(p.Find(0)->m_nSpeed, 1000 * kKiB) << "over the window since the first byte only";
  EXPECT_EQ(p.Find(0)->m_nWindows, 1);
  // A new request on the block starts the windows again.
  p.Flow(0, 400 * kKiB, 6000, -1, 6100);
  EXPECT_EQ(p.Find(0)->m_nWindows, 0);
  p.Flow(0, 410 * kKiB, 6000, 7500, 7600);
  EXPECT_EQ(p.FirstByteCostMs(), 2500) << "half the weight on the latest wait";
}

TEST(BlockPlan, BlocksThatHaveNotSettledAreLeftAlone) {
  // Block 1 crawls: taken over whole once it has flowed two windows.
  auto p = Running(8 * kMiB, 2, {{4 * kMiB, 2 * kMiB}, {100 * kKiB, 64 * kKiB}});
  p.Find(1)->m_nWindows = 1;
  auto young = p.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(young);
  EXPECT_FALSE(young->m_bTakeOver) << "halved at most before it has settled";
  p.Find(1)->m_nWindows = 2;
  EXPECT_TRUE(p.ChooseSplit(2 * kMiB)->m_bTakeOver);

  // A block a split has just made is no victim at all until it settles.
  auto q = Running(8 * kMiB, 2, {{4 * kMiB, 2 * kMiB}, {100 * kKiB, 64 * kKiB}});
  const int made = q.ApplySplit(1, 6 * kMiB);
  q.Start(made, 0);
  q.Find(1)->m_bDone = true;
  EXPECT_FALSE(q.ChooseSplit(2 * kMiB));
  q.Find(made)->m_nSpeed = 64 * kKiB;
  q.Find(made)->m_nWindows = 2;
  EXPECT_TRUE(q.ChooseSplit(2 * kMiB));
}

TEST(BlockPlan, ASplitMustPayForTheWaitOfItsRequest) {
  CBlockPlan p;
  p.FixedSplit(8 * kMiB, 2);
  for (int i = 0; i < 2; ++i) p.Start(i, 0);
  // Both replies took 4 s to start.
  p.Flow(0, 0, 0, 4000, 4000);
  p.Flow(1, 0, 0, 4000, 4000);
  EXPECT_EQ(p.FirstByteCostMs(), 4000);
  // 1.5 MiB left at 1 MiB/s: 1.5 s, well under a new request's 4 s wait.
  PlanBlock& b = *p.Find(1);
  b.m_nBytes = b.Length() - 1536 * kKiB;
  b.m_nSpeed = 1 * kMiB;
  b.m_nWindows = 2;
  p.Find(0)->m_nBytes = p.Find(0)->Length();
  p.Find(0)->m_bDone = true;
  EXPECT_FALSE(p.ChooseSplit(2 * kMiB));
  // All 4 MiB left at 256 KiB/s (16 s): worth it even after the wait.
  b.m_nBytes = 0;
  b.m_nSpeed = 256 * kKiB;
  EXPECT_TRUE(p.ChooseSplit(2 * kMiB));
}

// Two blocks of 8 MiB whose replies both took `waitMs` to start; block 0 is
// in, block 1 has `got` bytes at `speed`, measured over `windows` windows.
CBlockPlan SlowToAnswer(long long waitMs, long long got, long long speed, int windows) {
  CBlockPlan p;
  p.FixedSplit(16 * kMiB, 2);
  for (int i = 0; i < 2; ++i) p.Start(i, 0);
  p.Flow(0, 0, 0, waitMs, waitMs);
  p.Flow(1, 0, 0, waitMs, waitMs);
  p.Finish(0, waitMs + 4000);
  PlanBlock& b = *p.Find(1);
  b.m_nBytes = got;
  b.m_nSpeed = speed;
  b.m_nWindows = windows;
  return p;
}

TEST(BlockPlan, OnAHostSlowToAnswerTheVictimKeepsWhatItBringsWhileTheHelperWaits) {
  // 3.5 s before every reply; the victim crawls at 256 KiB/s, the helper
  // did 2 MiB/s. Halved, the victim would need 15 s for its 3.9 MiB.
  auto p = SlowToAnswer(3500, 100 * kKiB, 256 * kKiB, 1);
  const auto s = p.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->m_bTakeOver) << "it goes on while the helper waits";
  const PlanBlock& v = *p.Find(1);
  const long long left = v.Left();
  const long long keep = s->m_nCut - (v.m_nFirst + v.m_nBytes);
  EXPECT_LT(keep, left / 2);
  EXPECT_GE(keep, 256 * kKiB * 3) << "at least what it brings in the helper's wait";
  // Both end together, within a window.
  const long long victimEnd = keep * 1000 / (256 * kKiB);
  const long long helperEnd = 3500 + (left - keep) * 1000 / (2 * kMiB);
  EXPECT_NEAR(victimEnd, helperEnd, CBlockPlan::kWindowMs);

  // A victim half as fast as the helper keeps more than half: the
  // helper's bytes start 3.5 s late.
  auto fast = SlowToAnswer(3500, 1 * kMiB, 1 * kMiB, 2);
  const auto f = fast.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->m_bTakeOver);
  const PlanBlock& fv = *fast.Find(1);
  EXPECT_GT(f->m_nCut - (fv.m_nFirst + fv.m_nBytes), fv.Left() / 2);
  // One as fast as the helper ends before the helper's bytes would help.
  EXPECT_FALSE(SlowToAnswer(3500, 1 * kMiB, 2 * kMiB, 2).ChooseSplit(2 * kMiB));
}

TEST(BlockPlan, OnAHostSlowToAnswerOnlyANearlyStalledVictimIsTakenOverWhole) {
  // 8 KiB/s brings next to nothing in the helper's 3.5 s wait.
  auto crawl = SlowToAnswer(3500, 100 * kKiB, 8 * kKiB, 2);
  const auto s = crawl.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->m_bTakeOver);
  EXPECT_EQ(s->m_nCut, 8 * kMiB + 100 * kKiB);
  // Not settled yet: it keeps the smallest part instead.
  auto young = SlowToAnswer(3500, 100 * kKiB, 8 * kKiB, 1);
  const auto y = young.ChooseSplit(2 * kMiB);
  ASSERT_TRUE(y);
  EXPECT_FALSE(y->m_bTakeOver);
  EXPECT_EQ(y->m_nCut, 8 * kMiB + 100 * kKiB + CBlockPlan::kMinPart);
  // Little left: what the helper would bring does not come sooner.
  auto near = SlowToAnswer(3500, 8 * kMiB - 600 * kKiB, 256 * kKiB, 2);
  EXPECT_FALSE(near.ChooseSplit(2 * kMiB));
}

}  // namespace
