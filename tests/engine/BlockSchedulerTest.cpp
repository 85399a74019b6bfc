// What a job's free threads do next, decided from what the connections say
// of themselves and the clock the test gives: no threads, no sockets.
#include <gtest/gtest.h>

#include <map>

#include "engine/job/BlockScheduler.h"

namespace {

constexpr long long kKiB = 1024;
constexpr long long kMiB = 1024 * 1024;

// A connection as the scheduler sees it; by default none (Received -1).
struct Flow {
  long long received = -1;
  long long asked = -1;
  long long firstByte = -1;
  long long activity = 0;
  int cuts = 0;
  int kicks = 0;
  int lastCut = -1;
  bool refuseCut = false;  // it has no file open yet
  long long movesOnBy = 0;  // bytes it writes between a look and the cut
};

class Flows : public IBlockFlows {
 public:
  Flow& operator[](int block) { return m_flows[block]; }
  int Received(int block) const override { return static_cast<int>(Get(block).received); }
  long long AskedMs(int block) const override { return Get(block).asked; }
  long long FirstByteMs(int block) const override { return Get(block).firstByte; }
  long long ActivityMs(int block) const override { return Get(block).activity; }
  // As a connection does: never below what it has already written.
  int CutTo(int block, int length) override {
    Flow& f = m_flows[block];
    ++f.cuts;
    f.lastCut = length;
    f.received += f.movesOnBy;
    if (f.refuseCut || f.received < 0) return -1;
    return static_cast<int>(std::max<long long>(length, f.received));
  }
  void Kick(int block) override { ++m_flows[block].kicks; }

 private:
  Flow Get(int block) const {
    auto it = m_flows.find(block);
    return it == m_flows.end() ? Flow{} : it->second;
  }
  std::map<int, Flow> m_flows;
};

class BlockScheduler : public ::testing::Test {
 protected:
  // Two blocks of `each` bytes, both taken at 0 ms; block 0 answered after
  // 100 ms and came in whole at 4 MiB/s, so the helper knows its speed.
  void TwoBlocks(long long each) {
    flows = Flows();
    roomAsked = 0;
    CBlockPlan plan;
    plan.FixedSplit(2 * each, 2);
    sched.Reset(plan, true);
    sched.Start(0, 0);
    sched.Start(1, 0);
    flows[0] = {0, 0, 100, 100};
    flows[1] = {0, 0, -1, 0};
    const long long doneMs = 100 + each * 1000 / (4 * kMiB);
    for (long long t = 100; t <= doneMs; t += 100) {
      flows[0].received = (t - 100) * 4 * kMiB / 1000;
      flows[0].activity = t;
      sched.Observe(t);
    }
    ownSpeed = sched.Finish(0, doneMs);
    flows[0].received = -1;
  }
  // Block 1's reply starts at firstByteMs, then flows at `rate` until toMs,
  // looked at every 100 ms.
  void FlowBlock1(long long firstByteMs, long long rate, long long toMs) {
    flows[1].firstByte = firstByteMs;
    for (long long t = firstByteMs; t <= toMs; t += 100) {
      flows[1].received = (t - firstByteMs) * rate / 1000;
      flows[1].activity = t;
      sched.Observe(t);
    }
  }
  std::optional<CBlockScheduler::Split> Split(bool warm, long long nowMs) {
    return sched.SplitOff(ownSpeed, warm, nowMs, [this] {
      ++roomAsked;
      return room;
    });
  }

  Flows flows;
  CBlockScheduler sched{flows};
  long long ownSpeed = -1;
  bool room = true;
  int roomAsked = 0;
};

TEST_F(BlockScheduler, LeftoverBlocksOfAnEarlierRunComeFirstAndAreTakenOnce) {
  CBlockPlan plan;
  ASSERT_TRUE(plan.SetRanges(3 * kMiB, {{0, 0, kMiB - 1}, {2, kMiB, 2 * kMiB - 1}, {1, 2 * kMiB, 3 * kMiB - 1}}));
  sched.Reset(plan, true);
  sched.Start(0, 0);
  sched.Start(2, 0);
  const auto left = sched.TakeLeftover(10);
  ASSERT_TRUE(left);
  EXPECT_EQ(*left, 1);
  EXPECT_TRUE(sched.Plan().Find(1)->m_bStarted);
  EXPECT_FALSE(sched.TakeLeftover(20));
  EXPECT_TRUE(sched.Open());
  for (int b : {0, 1, 2}) sched.Finish(b, 30);
  EXPECT_FALSE(sched.Open());
}

TEST_F(BlockScheduler, ASlowBlockIsTakenOverOnlyAfterTwoSpeedWindowsOfBytes) {
  // Its first byte has just come, then one window: a crawl, but it may at
  // most be halved, never taken over yet.
  for (long long at : {1100, 1400}) {
    SCOPED_TRACE(at);
    TwoBlocks(4 * kMiB);
    FlowBlock1(1100, 10 * kKiB, at);
    const auto split = Split(true, at);
    EXPECT_EQ(flows[1].kicks, 0);
    if (split) {
      const PlanBlock* part = sched.Plan().Find(split->block);
      EXPECT_GT(part->m_nFirst - 4 * kMiB, flows[1].received + kMiB) << "halved, not taken over";
    }
  }
  // Two windows: it is slow, and the whole remainder moves to the helper.
  TwoBlocks(4 * kMiB);
  FlowBlock1(1100, 10 * kKiB, 1700);
  const long long had = flows[1].received;
  const auto split = Split(true, 1700);
  ASSERT_TRUE(split);
  EXPECT_EQ(split->victim, 1);
  EXPECT_EQ(flows[1].kicks, 1) << "a take-over drops the slow request";
  EXPECT_EQ(flows[1].lastCut, had);
  const PlanBlock* taken = sched.Plan().Find(split->block);
  ASSERT_NE(taken, nullptr);
  EXPECT_TRUE(taken->m_bStarted);
  EXPECT_EQ(taken->m_nFirst, 4 * kMiB + had);
  EXPECT_EQ(taken->m_nLast, 8 * kMiB - 1);
  EXPECT_EQ(sched.Plan().Find(1)->m_nLast, 4 * kMiB + had - 1);
  EXPECT_EQ(sched.Plan().Ranges().size(), 3u);
}

TEST_F(BlockScheduler, SpeedCountsFromTheFirstBodyByteNotFromTheRequest) {
  TwoBlocks(16 * kMiB);
  // A host that takes 3.5 s to answer, then sends as fast as block 0 came:
  // counted from the request it would look five times slower and be
  // taken over.
  FlowBlock1(3500, 4 * kMiB, 4200);
  const auto rows = sched.Snapshot(4200);
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_TRUE(rows[1].m_nSpeed);
  EXPECT_NEAR(*rows[1].m_nSpeed, 4 * kMiB, 1);
  EXPECT_FALSE(rows[0].m_nSpeed) << "a finished block has no speed";
  Split(true, 4200);
  EXPECT_EQ(flows[1].kicks, 0);
  // The wait is what a new request costs here.
  EXPECT_GE(sched.Plan().FirstByteCostMs(), 1000);
}

TEST_F(BlockScheduler, ANewConnectionMustSaveMoreThanItCostsAndHaveRoomBeforeAnythingIsCut) {
  TwoBlocks(16 * kMiB);
  FlowBlock1(100, 3 * kMiB, 4900);  // about 1.6 MiB left: half a second to go
  EXPECT_FALSE(Split(false, 4900));
  EXPECT_EQ(roomAsked, 0);
  EXPECT_EQ(flows[1].cuts, 0);

  TwoBlocks(16 * kMiB);
  FlowBlock1(100, 3 * kMiB, 1000);  // over 4 s to go: worth a new connection
  room = false;
  EXPECT_FALSE(Split(false, 1000));
  EXPECT_EQ(roomAsked, 1);
  EXPECT_EQ(flows[1].cuts, 0) << "nothing is cut for a connection the host has no room for";
  room = true;
  const auto split = Split(false, 1000);
  ASSERT_TRUE(split);
  EXPECT_EQ(roomAsked, 2);
  EXPECT_EQ(flows[1].kicks, 0) << "halved, not taken over";
  const long long left = 16 * kMiB - flows[1].received;
  EXPECT_EQ(sched.Plan().Find(split->block)->m_nFirst, 16 * kMiB + flows[1].received + left / 2);
}

TEST_F(BlockScheduler, ThreadsWithALiveConnectionGoFirstAndTheSmallSplitNeedsOne) {
  TwoBlocks(16 * kMiB);
  FlowBlock1(100, 3 * kMiB, 4900);
  sched.WaitingWarm(+1);
  EXPECT_FALSE(Split(false, 4900));
  sched.WaitingWarm(-1);
  // A warm connection needs no room and has no new request to pay for.
  ASSERT_TRUE(Split(true, 4900));
  EXPECT_EQ(roomAsked, 0);
}

TEST_F(BlockScheduler, TheVictimsConnectionDecidesWhereTheCutFalls) {
  TwoBlocks(16 * kMiB);
  FlowBlock1(100, 3 * kMiB, 1000);
  const long long wanted = flows[1].received + (16 * kMiB - flows[1].received) / 2;
  // It writes past the chosen point before the cut reaches it.
  flows[1].movesOnBy = wanted + 5000 - flows[1].received;
  const auto split = Split(true, 1000);
  ASSERT_TRUE(split);
  EXPECT_EQ(flows[1].lastCut, wanted);
  EXPECT_EQ(sched.Plan().Find(split->block)->m_nFirst, 16 * kMiB + wanted + 5000);
  EXPECT_EQ(sched.Plan().Find(1)->m_nLast, 16 * kMiB + wanted + 4999);

  // No file open yet: nothing moves.
  TwoBlocks(16 * kMiB);
  FlowBlock1(100, 3 * kMiB, 1000);
  flows[1].refuseCut = true;
  EXPECT_FALSE(Split(true, 1000));
  EXPECT_EQ(sched.Plan().Ranges().size(), 2u);
  EXPECT_EQ(sched.Plan().Find(1)->m_nLast, 32 * kMiB - 1);
}

TEST_F(BlockScheduler, NothingIsSplitWhereRangesAreNotHonoured) {
  CBlockPlan plan;
  plan.FixedSplit(8 * kMiB, 1);
  sched.Reset(plan, false);
  sched.Start(0, 0);
  flows[0] = {10, 0, 100, 100};
  EXPECT_FALSE(sched.SplitOff(4 * kMiB, true, 5000, {}));
  EXPECT_EQ(flows[0].cuts, 0);
  EXPECT_FALSE(sched.Splittable());
}

TEST_F(BlockScheduler, QuietConnectionsAreKickedWhileOthersFlow) {
  CBlockPlan plan;
  plan.FixedSplit(4 * kMiB, 4);
  sched.Reset(plan, true);
  for (int b = 0; b < 4; ++b) sched.Start(b, 0);
  flows[0] = {1000, 0, 1000, 1000};  // flowed, then went quiet at 1 s
  flows[1] = {0, 1000, -1, 1000};    // asked again at 1 s, waiting for its reply
  flows[2] = {-1, -1, -1, 0};        // between attempts: no connection
  flows[3] = {1000, 0, 1000, 1000};
  sched.Observe(1000);               // a reply took 1 s here
  ASSERT_EQ(sched.Plan().FirstByteCostMs(), 1000);
  flows[3].activity = 3999;
  sched.Watch(3999, 0);
  EXPECT_EQ(flows[0].kicks, 0);
  sched.Watch(4000, 0);
  EXPECT_EQ(flows[0].kicks, 1);
  EXPECT_EQ(flows[1].kicks, 0) << "a request may wait as long as replies have taken";
  EXPECT_EQ(flows[3].kicks, 0);
  sched.Watch(4000 + 999, 0);
  EXPECT_EQ(flows[1].kicks, 0);
  sched.Watch(5000, 0);
  EXPECT_EQ(flows[1].kicks, 1);
  EXPECT_EQ(flows[2].kicks, 0);
  // A shorter time-out setting is the limit.
  flows[3].activity = 5000;
  sched.Watch(6999, 2);
  EXPECT_EQ(flows[3].kicks, 0);
  sched.Watch(7000, 2);
  EXPECT_EQ(flows[3].kicks, 1);
}

TEST_F(BlockScheduler, SnapshotKeepsEachBlocksLastText) {
  CBlockPlan plan;
  plan.FixedSplit(100, 2);
  sched.Reset(plan, true);
  sched.SetText(1, "waiting");
  sched.SetText(7, "nobody");  // no such block: ignored
  const auto rows = sched.Snapshot(0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].m_strText, "");
  EXPECT_EQ(rows[1].m_strText, "waiting");
  EXPECT_EQ(rows[1].m_nFirst, 50);
  EXPECT_FALSE(rows[1].m_nSpeed) << "not started";
}

}  // namespace
