// The progress numbers on their own, and the texts made from them.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "task/TaskProgress.h"

namespace {

struct Clock {
  uint32_t now = 10000;
  std::function<uint32_t()> Fn() {
    return [this] { return now; };
  }
};

TEST(TaskProgressTest, FirstReportStartsTheClockLaterOnesMeasureWholeSeconds) {
  CTaskProgress p;
  Clock c;
  p.SetFileSize(400 * 1024);
  p.StartJob(725);
  ProgressFigures f;
  ASSERT_TRUE(p.Report(0, 100 * 1024, c.Fn(), f));
  EXPECT_TRUE(f.m_bMeasured);  // the first report always measures...
  EXPECT_EQ(f.m_nElapsed, 725);  // ...but only starts the clock
  EXPECT_EQ(p.LastTick(), 10000u);
  c.now += 1000;  // exactly a second: not yet
  ASSERT_TRUE(p.Report(1, 100 * 1024, c.Fn(), f));
  EXPECT_FALSE(f.m_bMeasured);
  EXPECT_EQ(f.m_nDone, 200 * 1024);
  EXPECT_EQ(f.m_nPercent, 50);
  c.now += 1500;
  ASSERT_TRUE(p.Report(1, 150 * 1024, c.Fn(), f));
  EXPECT_TRUE(f.m_bMeasured);
  EXPECT_EQ(f.m_nSpeed, 60);       // 150 KB in 2.5 s
  EXPECT_EQ(f.m_nElapsed, 727);    // whole seconds only
  EXPECT_EQ(f.m_nRemaining, 436);  // (400 - 250) KB at 250 KB per 727 s
  EXPECT_EQ(p.LastBytes(), 250 * 1024);
  EXPECT_EQ(p.Elapsed(), 727);
  EXPECT_EQ(p.Remaining(), 436);
}

TEST(TaskProgressTest, ANewJobClearsTheCountsButKeepsSizeAndRemaining) {
  CTaskProgress p;
  Clock c;
  ProgressFigures f;
  p.SetFileSize(100000);
  p.Report(0, 30000, c.Fn(), f);
  c.now += 2000;
  p.Report(7, 20000, c.Fn(), f);
  EXPECT_EQ(p.BlockBytes(7), 20000);
  EXPECT_EQ(p.MoreBlockBytes().size(), 3u);
  ASSERT_GT(p.Remaining(), 0);
  const int remaining = p.Remaining();
  p.StartJob(3);
  EXPECT_EQ(p.BlockBytes(0), 0);
  EXPECT_EQ(p.BlockBytes(7), 0);
  EXPECT_TRUE(p.MoreBlockBytes().empty());
  EXPECT_EQ(p.LastTick(), 0u);
  EXPECT_EQ(p.LastBytes(), 0);
  EXPECT_EQ(p.Elapsed(), 3);
  EXPECT_EQ(p.FileSize(), 100000);
  EXPECT_EQ(p.Remaining(), remaining);
  p.Report(0, 1000, c.Fn(), f);
  EXPECT_EQ(f.m_nDone, 1000);
}

TEST(TaskProgressTest, StrayIndexesChangeNothing) {
  CTaskProgress p;
  Clock c;
  ProgressFigures f;
  p.Report(0, 500, c.Fn(), f);
  EXPECT_FALSE(p.Report(-1, 9999, c.Fn(), f));
  EXPECT_FALSE(p.Report(CTaskProgress::kMaxBlockNumber, 9999, c.Fn(), f));
  EXPECT_TRUE(p.MoreBlockBytes().empty());
  ASSERT_TRUE(p.Report(CTaskProgress::kMaxBlockNumber - 1, 1, c.Fn(), f));
  EXPECT_EQ(f.m_nDone, 501);
  EXPECT_EQ(f.m_nPercent, 0);  // no size known: no division by zero
}

TEST(TaskProgressTest, CountsThatGoBackShowTheirSpeedAndElapsedSaturates) {
  CTaskProgress p;
  Clock c;
  ProgressFigures f;
  p.SetFileSize(1 << 20);
  p.StartJob(INT_MAX - 1);
  p.Report(0, 500 * 1024, c.Fn(), f);
  c.now += 3000;
  p.Report(0, 200 * 1024, c.Fn(), f);  // a block restarted from fewer bytes
  EXPECT_TRUE(f.m_bMeasured);
  EXPECT_EQ(f.m_nSpeed, -100);
  EXPECT_EQ(CTaskProgress::Texts(f).m_strSpeed, "-100KB/S");
  EXPECT_EQ(f.m_nElapsed, INT_MAX);
  EXPECT_EQ(f.m_nRemaining, INT_MAX);  // clamped, never negative or wrapped
}

TEST(TaskProgressTest, TextsAreTheRecordsSpelling) {
  ProgressFigures f;
  f.m_nDone = 3456LL * 1024 + 1023;
  f.m_nPercent = 25;
  f.m_nElapsed = 3725;  // hours stay in the minutes
  f.m_nRemaining = 0;
  ProgressTexts t = CTaskProgress::Texts(f);
  EXPECT_EQ(t.m_strDone, "3,456KB");
  EXPECT_EQ(t.m_strPercent, "25%");
  EXPECT_EQ(t.m_strElapsed, "62m:5s");
  EXPECT_EQ(t.m_strRemaining, "0m:0s");
  EXPECT_EQ(t.m_strSpeed, "");  // nothing measured: the old speed stays shown
  EXPECT_EQ(CTaskProgress::KiloBytesText(1023), "0KB");
  EXPECT_EQ(CTaskProgress::KiloBytesText(-2048), "-2KB");
}

TEST(TaskProgressTest, ElapsedTextsReadBack) {
  EXPECT_EQ(CTaskProgress::ParseMinutesSeconds(""), 0);
  EXPECT_EQ(CTaskProgress::ParseMinutesSeconds("12m:5s"), 725);
  EXPECT_EQ(CTaskProgress::ParseMinutesSeconds("0m:59s"), 59);
  EXPECT_EQ(CTaskProgress::ParseMinutesSeconds("62m:5s"), 3725);
  EXPECT_EQ(CTaskProgress::ParseMinutesSeconds("7m"), 420);     // no seconds part
  EXPECT_EQ(CTaskProgress::ParseMinutesSeconds("1m:30"), 90);   // no closing "s"
  EXPECT_EQ(CTaskProgress::ParseMinutesSeconds("x"), 0);
  EXPECT_EQ(CTaskProgress::ParseMinutesSeconds("999999999m:59s"), INT_MAX);
  EXPECT_EQ(CTaskProgress::ParseMinutesSeconds("-5m:0s"), 0);
  // Every text the record is written with reads back as its seconds.
  for (int s : {0, 1, 59, 60, 61, 3599, 3600, 86399, 1000000}) {
    ProgressFigures f;
    f.m_nElapsed = s;
    EXPECT_EQ(CTaskProgress::ParseMinutesSeconds(CTaskProgress::Texts(f).m_strElapsed), s) << s;
  }
}

}  // namespace
