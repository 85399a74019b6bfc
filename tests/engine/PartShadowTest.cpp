// The copy of a song written in place while its blocks arrive: taken only
// when every final block is in it whole, from its first byte, in this run.
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/job/PartShadow.h"
#include "tests/support/TempHome.h"

namespace {

class PartShadowTest : public ::testing::Test {
 public:
  // Writes block `block` (starting at `first`, `length` bytes) in pieces of
  // `step`, as a block file writer would after opening it empty.
  void Send(int block, long long first, long long length, size_t step = 7000) {
    m_shadow.Opened(block, first, 0);
    SendFrom(block, first, 0, length, step);
  }
  void SendFrom(int block, long long first, long long from, long long to, size_t step = 7000) {
    for (long long at = from; at < to; at += static_cast<long long>(step)) {
      const size_t n = static_cast<size_t>(std::min<long long>(static_cast<long long>(step), to - at));
      m_shadow.Wrote(block, at, m_body.data() + first + at, n);
    }
  }
  bool Exists(const std::string& path) const { return access(path.c_str(), F_OK) == 0; }

  vtest::TempHome home;
  const std::string m_body = vtest::RandomBytes(300001, 4);
  const long long m_len = static_cast<long long>(m_body.size());
  const std::string m_target = home.downloads() + "/song.mp3";
  CPartShadow m_shadow;
};

TEST_F(PartShadowTest, BlocksWrittenAtOnceFromManyThreadsMakeTheWholeSong) {
  m_shadow.Begin(m_target, m_len);
  // Block 3 was split off block 1's end, as a thread that helps does.
  const std::vector<CPartShadow::Range> ranges = {{0, 0, 100000}, {1, 100000, 60000}, {3, 160000, 40000},
                                                  {2, 200000, m_len - 200000}};
  std::vector<std::thread> threads;
  for (const auto& r : ranges) threads.emplace_back([this, r] { Send(r.block, r.first, r.length, 4096); });
  for (auto& t : threads) t.join();
  const std::string copy = m_shadow.Take(ranges);
  ASSERT_EQ(copy, CPartShadow::PathFor(m_target));
  EXPECT_EQ(vtest::ReadFile(copy), m_body);
  // Taken: it is the caller's now, even when the job lets the copy go.
  m_shadow.Discard();
  EXPECT_TRUE(Exists(copy));
}

TEST_F(PartShadowTest, ASongOfSeveralFlushStepsIsCopiedWhileItIsFlushed) {
  std::string big;
  for (int i = 0; i < 60; ++i) big += m_body;  // about 17 MiB: two flushes at least
  const long long len = static_cast<long long>(big.size());
  m_shadow.Begin(m_target, len);
  std::vector<CPartShadow::Range> ranges;
  for (int b = 0; b < 4; ++b) ranges.push_back({b, len * b / 4, len * (b + 1) / 4 - len * b / 4});
  std::vector<std::thread> threads;
  for (const auto& r : ranges)
    threads.emplace_back([this, r, &big] {
      m_shadow.Opened(r.block, r.first, 0);
      for (long long at = 0; at < r.length; at += 65536)
        m_shadow.Wrote(r.block, at, big.data() + r.first + at, static_cast<size_t>(std::min(65536LL, r.length - at)));
    });
  for (auto& t : threads) t.join();
  const std::string copy = m_shadow.Take(ranges);
  ASSERT_FALSE(copy.empty());
  EXPECT_TRUE(vtest::ReadFile(copy) == big);
}

TEST_F(PartShadowTest, AnythingLessThanEveryBlockWholeIsRefusedAndRemoved) {
  const std::vector<CPartShadow::Range> ranges = {{0, 0, 150000}, {1, 150000, m_len - 150000}};
  struct Case {
    const char* what;
    std::function<void(PartShadowTest&)> run;
  };
  const std::vector<Case> cases = {
      {"a block continued from an earlier run",
       [](PartShadowTest& t) {
         t.Send(0, 0, 150000);
         t.m_shadow.Opened(1, 150000, 5000);
         t.SendFrom(1, 150000, 5000, t.m_len - 150000);
       }},
      {"a gap inside a block",
       [](PartShadowTest& t) {
         t.Send(0, 0, 150000);
         t.m_shadow.Opened(1, 150000, 0);
         t.SendFrom(1, 150000, 0, 7000);
         t.SendFrom(1, 150000, 14000, t.m_len - 150000);
       }},
      {"a block reopened holding other than what was copied",
       [](PartShadowTest& t) {
         t.Send(0, 0, 150000);
         t.Send(1, 150000, 20000);
         t.m_shadow.Opened(1, 150000, 21000);
         t.SendFrom(1, 150000, 21000, t.m_len - 150000);
       }},
      {"a block never opened", [](PartShadowTest& t) { t.Send(0, 0, 150000); }},
      {"a block short of its end",
       [](PartShadowTest& t) {
         t.Send(0, 0, 150000);
         t.Send(1, 150000, t.m_len - 150001);
       }},
      {"a block that wrote past the song's end",
       [](PartShadowTest& t) {
         t.Send(0, 0, 150000);
         t.Send(1, 150000, t.m_len - 150000);
         const char extra = 'x';
         t.m_shadow.Wrote(1, t.m_len - 150000, &extra, 1);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    m_shadow.Begin(m_target, m_len);
    c.run(*this);
    EXPECT_EQ(m_shadow.Take(ranges), "");
    EXPECT_FALSE(Exists(CPartShadow::PathFor(m_target)));
  }
}

TEST_F(PartShadowTest, ABlockAskedAgainGoesOnOrStartsAfreshWithinTheRun) {
  m_shadow.Begin(m_target, m_len);
  const std::vector<CPartShadow::Range> ranges = {{0, 0, 150000}, {1, 150000, m_len - 150000}};
  // Block 0's connection dropped and its file was continued where it ended.
  Send(0, 0, 50000);
  m_shadow.Opened(0, 0, 50000);
  SendFrom(0, 0, 50000, 150000);
  // Block 1 was written wrong first, then its file made afresh.
  m_shadow.Opened(1, 150000, 0);
  const std::string junk(9000, 'j');
  m_shadow.Wrote(1, 0, junk.data(), junk.size());
  Send(1, 150000, m_len - 150000);
  const std::string copy = m_shadow.Take(ranges);
  ASSERT_FALSE(copy.empty());
  EXPECT_EQ(vtest::ReadFile(copy), m_body);
}

TEST_F(PartShadowTest, NoCopyWithoutALengthAndNoneLeftBehind) {
  m_shadow.Begin(m_target, -1);
  Send(0, 0, 1000);
  EXPECT_FALSE(Exists(CPartShadow::PathFor(m_target)));
  EXPECT_EQ(m_shadow.Take({{0, 0, 1000}}), "");
  {
    CPartShadow shadow;
    shadow.Begin(m_target, m_len);
    EXPECT_TRUE(Exists(CPartShadow::PathFor(m_target)));
  }
  EXPECT_FALSE(Exists(CPartShadow::PathFor(m_target)));
  // A copy a killed run left is not continued: the next run starts empty.
  ASSERT_TRUE(vtest::WriteFile(CPartShadow::PathFor(m_target), m_body));
  m_shadow.Begin(m_target, m_len);
  Send(0, 0, 1000);
  m_shadow.Discard();
  EXPECT_FALSE(Exists(CPartShadow::PathFor(m_target)));
}

}  // namespace
