// The job's reports turned into entry fields and list cells.
#include <gtest/gtest.h>

#include <climits>

#include "res/Texts.h"
#include "task/DownloadTask.h"
#include "tests/support/TempHome.h"
#include "tests/task/TaskTestHost.h"

namespace {

using vtest::TaskTestHost;

class ProgressTest : public ::testing::Test {
 protected:
  CDownloadTask& Task(int blocks = 4, const std::string& elapsed = "") {
    TaskSettings s;
    s.m_nBlocks = blocks;
    m_host.SetSettings(s);
    m_host.AddEntry("p", "http://h/p.mp3", elapsed);
    CDownloadTask& t = m_host.CreateTask("p");
    t.m_fnTick = [this] { return m_now; };
    return t;
  }
  TaskEntry Entry() {
    TaskEntry e{};
    EXPECT_TRUE(m_host.Entry("p", e));
    return e;
  }
  std::vector<int> Columns() {
    std::vector<int> out;
    for (const auto& w : m_host.Writes("p")) out.push_back(w.column);
    return out;
  }

  vtest::TempHome m_home;
  TaskTestHost m_host;
  uint32_t m_now = 50000;
};

TEST_F(ProgressTest, ContentLengthIsShownInWholeKilobytes) {
  CDownloadTask& t = Task();
  t.OnContentLength(3456 * 1024 + 1023);
  EXPECT_EQ(t.m_nFileSize, 3456 * 1024 + 1023);
  EXPECT_STREQ(Entry().m_szSize, "3,456KB");
  EXPECT_EQ(m_host.Column("p", 1), std::vector<std::string>{"3,456KB"});

  t.OnContentLength(1000);
  EXPECT_STREQ(Entry().m_szSize, "0KB");
}

TEST_F(ProgressTest, FirstReportStartsTheClockAndLaterOnesMeasure) {
  CDownloadTask& t = Task(2, "12m:5s");
  t.OnContentLength(400 * 1024);
  t.RestartProgress();  // as a job start: 725 s taken over from the entry
  EXPECT_EQ(t.m_nElapsed, 725);

  t.OnProgress(100 * 1024, 200 * 1024, 0);
  TaskEntry e = Entry();
  EXPECT_STREQ(e.m_szDone, "100KB");
  EXPECT_STREQ(e.m_szPercent, "25%");
  EXPECT_STREQ(e.m_szElapsed, "12m:5s");  // unchanged by the first measurement
  EXPECT_STREQ(e.m_szRemaining, "0m:0s");
  EXPECT_STREQ(e.m_szSpeed, "2KB/S");  // 100 KB spread over the whole tick count (50 s)

  // Within a second: no new speed, elapsed stays.
  m_now += 1000;
  t.OnProgress(100 * 1024, 200 * 1024, 1);
  e = Entry();
  EXPECT_STREQ(e.m_szDone, "200KB");
  EXPECT_STREQ(e.m_szPercent, "50%");
  EXPECT_STREQ(e.m_szSpeed, "2KB/S");
  EXPECT_STREQ(e.m_szElapsed, "12m:5s");

  // 2.5 s after the clock started: 2 whole seconds more, speed over the window.
  m_now += 1500;
  t.OnProgress(150 * 1024, 200 * 1024, 1);
  e = Entry();
  EXPECT_STREQ(e.m_szDone, "250KB");
  EXPECT_STREQ(e.m_szElapsed, "12m:7s");
  // 150 KB arrived in 2500 ms: (153600 * 1000 / 1024) / 2500 = 60.
  EXPECT_STREQ(e.m_szSpeed, "60KB/S");
  // (409600 - 256000) * 727 / 256000 = 436 s.
  EXPECT_STREQ(e.m_szRemaining, "7m:16s");
}

TEST_F(ProgressTest, ListCellsFollowInTheirOrderAndOnlyWhenShown) {
  CDownloadTask& t = Task(1);
  t.OnContentLength(10 * 1024);
  t.OnProgress(1024, 10 * 1024, 0);  // measures: speed shown
  m_now += 10;
  t.OnProgress(2048, 10 * 1024, 0);  // too soon: no speed cell
  EXPECT_EQ(Columns(), (std::vector<int>{1, 2, 3, 6, 4, 5, 2, 3, 4, 5}));

  m_host.SetListShown(false);
  m_now += 5000;
  t.OnProgress(4096, 10 * 1024, 0);
  t.OnContentLength(10 * 1024);
  t.OnMessage("hidden", 0);
  EXPECT_EQ(Columns().size(), 10u);
  EXPECT_STREQ(Entry().m_szDone, "4KB");  // the entry is written all the same
}

TEST_F(ProgressTest, LargeFilesKeepRightValues) {
  CDownloadTask& t = Task(4);
  const int size = 400 * 1024 * 1024;  // 400 MB: every 32-bit product overflows
  t.OnContentLength(size);
  m_now = 10000;  // the first report starts the clock
  for (int i = 0; i < 4; ++i) t.OnProgress(0, size / 4, i);
  m_now = 10000 + 2000;
  for (int i = 0; i < 4; ++i) t.OnProgress(80 * 1024 * 1024, size / 4, i);
  TaskEntry e = Entry();
  EXPECT_STREQ(e.m_szPercent, "80%");
  EXPECT_STREQ(e.m_szDone, "327,680KB");
  // The speed was measured when the first block reported 80 MB in 2 s.
  EXPECT_STREQ(e.m_szSpeed, "40960KB/S");
  EXPECT_EQ(t.m_nElapsed, 2);
  // (400 MB - 80 MB) * 2 s / 80 MB at that measurement.
  EXPECT_STREQ(e.m_szRemaining, "0m:8s");
}

TEST_F(ProgressTest, BlockCountIsClampedToTheFiveCounters) {
  EXPECT_EQ(Task(9).m_nBlocks, 5);
  m_host.DropTask("p");
  EXPECT_EQ(Task(0).m_nBlocks, 1);
  m_host.DropTask("p");
  TaskSettings seven;
  seven.m_nBlocks = 7;
  EXPECT_EQ(CDownloadTask(m_host, "q", seven).m_nBlocks, 5);
  CDownloadTask& t = Task(-3);
  EXPECT_EQ(t.m_nBlocks, 1);
  t.OnContentLength(4096);
  t.OnProgress(1024, 4096, 0);
  // Indexes no job uses are ignored, not stored out of bounds.
  t.OnProgress(9999, 4096, -1);
  t.OnProgress(9999, 4096, 1 << 20);
  EXPECT_STREQ(Entry().m_szDone, "1KB");
  EXPECT_STREQ(Entry().m_szPercent, "25%");
}

TEST_F(ProgressTest, BlocksSplitOffCountWhateverTheirNumber) {
  // A job splits slow blocks into new numbered files: 1 and 2 beyond the
  // configured count, 5 and 9 beyond the five counters.
  CDownloadTask& t = Task(1);
  t.OnContentLength(100 * 1024);
  t.OnProgress(10 * 1024, 40 * 1024, 0);
  t.OnProgress(10 * 1024, 20 * 1024, 1);
  t.OnProgress(10 * 1024, 20 * 1024, 2);
  t.OnProgress(10 * 1024, 10 * 1024, 5);
  t.OnProgress(5 * 1024, 10 * 1024, 9);
  EXPECT_STREQ(Entry().m_szDone, "45KB");
  t.OnProgress(10 * 1024, 10 * 1024, 9);  // a later count replaces the earlier
  EXPECT_STREQ(Entry().m_szDone, "50KB");
  EXPECT_STREQ(Entry().m_szPercent, "50%");
}

TEST_F(ProgressTest, UnknownSizeShowsZeroPercentInsteadOfDividingByZero) {
  CDownloadTask& t = Task(1);
  t.OnProgress(5000, 0, 0);
  EXPECT_STREQ(Entry().m_szPercent, "0%");
}

TEST_F(ProgressTest, MessagesGoToTheListWithTheirThreadNumber) {
  CDownloadTask& t = Task();
  t.OnMessage(T("正在连接"), 2);
  t.OnMessage(T("下载成功"), -1);
  EXPECT_EQ(m_host.Column("p", 7),
            (std::vector<std::string>{T("线程2: 正在连接"), T("线程-1: 下载成功")}));
  EXPECT_STREQ(Entry().m_szAddress, "http://h/p.mp3");  // not stored
}

TEST_F(ProgressTest, ConcurrentReportsKeepEveryBlocksCount) {
  CDownloadTask& t = Task(5);
  t.m_fnTick = nullptr;  // real clock: the threads race on it too
  t.OnContentLength(5 * 100000);
  std::vector<std::thread> blocks;
  for (int b = 0; b < 5; ++b)
    blocks.emplace_back([&t, b] {
      for (int n = 1; n <= 100000; n += 997) t.OnProgress(n, 100000, b);
      t.OnProgress(100000, 100000, b);
    });
  for (auto& th : blocks) th.join();
  EXPECT_STREQ(Entry().m_szPercent, "100%");
  EXPECT_STREQ(Entry().m_szDone, "488KB");
}

}  // namespace

// A damaged or hand-edited record may claim any time: the count saturates
// instead of overflowing while the download runs on.
TEST_F(ProgressTest, HugeStoredTimeSaturates) {
  CDownloadTask& t = Task(1, "999999999m:59s");
  t.OnContentLength(400 * 1024);
  t.RestartProgress();
  EXPECT_EQ(t.m_nElapsed, INT_MAX);
  for (int i = 1; i <= 3; ++i) {
    m_now += 1500;
    t.OnProgress(i * 10 * 1024, 400 * 1024, 0);
  }
  EXPECT_EQ(t.m_nElapsed, INT_MAX);
}
