// Continuing block files: within a job after early closes, and in a later
// job only when the file and its split are the same as when they were written.
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "engine/job/Sidecar.h"
#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

class BlockJobResume : public bdtest::JobFixture {
 protected:
  static constexpr int kLength = 4000;
  // Bytes before the server hangs up: under 1 % of a block, so three such
  // attempts in a row end it.
  static constexpr int kPerAttempt = 5;

  // A first job whose every block attempt is cut short after kPerAttempt
  // bytes. The first block to run out of attempts stops the others, so what
  // each block file holds afterwards is whatever had arrived by then.
  void FailFirstRun(int blocks, const std::string& etag = "", const std::string& lastModified = "") {
    Route r = Route::File(m_body);
    r.etag = etag;
    r.lastModified = lastModified;
    r.faults.closeAfterBodyBytes = kPerAttempt;
    srv.route("/a.mp3", r);
    Owner first;
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), blocks, first, true);
    Run(*job, first);
    ASSERT_TRUE(srv.waitAllClosed(10000));
    srv.clearRequests();
    ASSERT_EQ(first.failures(), 1) << "blocks failing together still fail the job once";
    ASSERT_EQ(first.successes(), 0);
    m_stored.clear();
    m_firstBlocks = blocks;
    for (int i = 0; i < blocks; ++i) m_stored.push_back(vtest::ReadFile(BlockFile("a.mp3", i)).size());
    ASSERT_NE(std::find(m_stored.begin(), m_stored.end(), size_t{3 * kPerAttempt}), m_stored.end())
        << "the block that gave up tried three times";
  }
  // The ranges a job over m_body asks for when it continues the block files
  // of FailFirstRun(blocks), whatever its own block count: its first
  // request from where block 0's file ends (its body goes on as block 0),
  // then every other block that holds bytes from where they end.
  std::vector<std::string> Continued(int blocks) const {
    const size_t q = kLength / blocks;
    const size_t k = m_stored[0] < q ? m_stored[0] : 0;
    std::vector<std::string> out = {k > 0 ? FirstAsk() : "bytes=0-"};
    for (int i = k > 0 ? 1 : 0; i < blocks; ++i) {
      const size_t first = q * static_cast<size_t>(i);
      const size_t last = i == blocks - 1 ? kLength - 1 : first + q - 1;
      const size_t start = first + m_stored[static_cast<size_t>(i)];
      if (start > 0) out.push_back("bytes=" + std::to_string(start) + "-" + std::to_string(last));
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  std::vector<std::string> Continued2() const { return Continued(2); }
  // The first request of a job continuing FailFirstRun's files: the rest
  // of block 0 when its file holds bytes.
  std::string FirstAsk() const {
    if (m_stored[0] == 0) return "bytes=0-";
    return "bytes=" + std::to_string(m_stored[0]) + "-" + std::to_string(kLength / m_firstBlocks - 1);
  }
  // A fresh plan of two blocks after that request's reply was dropped
  // (block 0 then asks from byte 0, which needs no Range line).
  // An empty block 0 keeps that reply.
  std::vector<std::string> FreshAfterFirstAsk(long long length = kLength) const {
    const long long q = length / 2;
    std::vector<std::string> out = {FirstAsk(), "bytes=" + std::to_string(q) + "-" + std::to_string(length - 1)};
    if (m_stored[0] > 0) out.push_back("");
    std::sort(out.begin(), out.end());
    return out;
  }
  // A second job against a healthy server; returns its requests' ranges.
  std::vector<std::string> SecondRun(int blocks, const std::string& etag = "",
                                     const std::string& lastModified = "", const std::string* body = nullptr) {
    // The same address (block files of another one are never continued);
    // only connections opened from here on count, so a late request of the
    // first job does not. Its connections are all answered and gone first.
    EXPECT_TRUE(srv.waitAllClosed(10000));
    const int before = srv.connectionsAccepted();
    Route r = Route::File(body ? *body : m_body);
    r.etag = etag;
    r.lastModified = lastModified;
    srv.route("/a.mp3", r);
    Owner second;
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), blocks, second, true);
    Run(*job, second);
    EXPECT_EQ(second.successes(), 1);
    EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body ? *body : m_body);
    ExpectNoLeftovers(Target("a.mp3"));
    std::vector<std::string> ranges;
    for (const auto& q : srv.requestsFor("/a.mp3"))
      if (q.connection > before) ranges.push_back(q.range);
    std::sort(ranges.begin(), ranges.end());
    return ranges;
  }

  const std::string m_body = vtest::RandomBytes(kLength, 42);
  const std::vector<std::string> m_fresh2 = {"bytes=0-", "bytes=2000-3999"};
  std::vector<size_t> m_stored;  // block file sizes after FailFirstRun
  int m_firstBlocks = 1;         // its block count
};

TEST_F(BlockJobResume, EarlyClosesAreContinuedWithinTheJob) {
  const std::string body = vtest::RandomBytes(3000, 9);
  Route r = Route::File(body);
  r.faults.closeAfterBodyBytes = 600;
  srv.route("/a.mp3", r);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  Run(*job, owner);
  ASSERT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
  // Each attempt starts right after what the earlier ones stored.
  auto ranges = bdtest::BlockRanges(srv, "/a.mp3");
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=0-", "bytes=1200-1499", "bytes=1500-2999", "bytes=2100-2999",
                                              "bytes=2700-2999", "bytes=600-1499"}));
}

TEST_F(BlockJobResume, LaterJobAsksOnlyForWhatIsMissing) {
  FailFirstRun(2, "\"v1\"");
  EXPECT_EQ(SecondRun(2, "\"v1\""), Continued2());
}

TEST_F(BlockJobResume, NoByteOfBlockZeroOnDiskIsAskedAgain) {
  for (int n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    // Another block may give up before block 0 has a byte: bounded retries
    // until it holds some.
    for (int tries = 0; tries < 10; ++tries) {
      FailFirstRun(n, "\"v1\"");
      if (m_stored[0] > 0) break;
      for (int i = 0; i < n; ++i) std::remove(BlockFile("a.mp3", i).c_str());
      std::remove(Sidecar("a.mp3").c_str());
    }
    const long long k = static_cast<long long>(m_stored[0]);
    ASSERT_GT(k, 0);
    const auto ranges = SecondRun(n, "\"v1\"");
    EXPECT_NE(std::find(ranges.begin(), ranges.end(), FirstAsk()), ranges.end()) << testing::PrintToString(ranges);
    for (const auto& r : ranges) {
      ASSERT_EQ(r.rfind("bytes=", 0), 0u) << r;
      EXPECT_GE(std::stoll(r.substr(6)), k) << "asked again: " << r;
    }
    ASSERT_TRUE(srv.waitAllClosed(10000));
    srv.clearRequests();
    std::remove(Target("a.mp3").c_str());
  }
}

TEST_F(BlockJobResume, WholeFileAnswerToTheContinuingRequestStartsAfresh) {
  // A host that ignores the range sends the file from byte 0: it becomes
  // the only block, and the old block 0 bytes are not stitched before it.
  FailFirstRun(2, "\"v1\"");
  Route r = Route::File(m_body);
  r.etag = "\"v1\"";
  r.faults.ignoreRange = true;
  srv.route("/a.mp3", r);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  Run(*job, owner);
  ASSERT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
  EXPECT_EQ(bdtest::BlockRanges(srv, "/a.mp3"), std::vector<std::string>{FirstAsk()});
  ExpectNoLeftovers(Target("a.mp3"));
}

TEST_F(BlockJobResume, ShorterFileThanBlockZeroHoldsIsAskedTheLongWay) {
  // The continuing request lies past the new file's end: 416, then the
  // two-question exchange learns the new length and the job starts afresh.
  FailFirstRun(2, "\"v1\"");
  const std::string shorter = m_body.substr(0, m_stored[0] - 1);
  const auto ranges = SecondRun(1, "\"v1\"", "", &shorter);
  EXPECT_NE(std::find(ranges.begin(), ranges.end(), FirstAsk()), ranges.end()) << testing::PrintToString(ranges);
}

TEST_F(BlockJobResume, LastModifiedServesAsValidatorToo) {
  FailFirstRun(2, "", "Mon, 07 Dec 2026 10:00:00 GMT");
  EXPECT_EQ(SecondRun(2, "", "Mon, 07 Dec 2026 10:00:00 GMT"), Continued2());
}

TEST_F(BlockJobResume, ChangedValidatorStartsAfresh) {
  struct Change {
    const char* before;
    const char* after;
  };
  for (Change c : {Change{"\"v1\"", "\"v2\""}, Change{"\"v1\"", ""}, Change{"", "\"v1\""}}) {
    SCOPED_TRACE(std::string(c.before) + " -> " + c.after);
    FailFirstRun(2, c.before);
    // The first reply continues block 0 only while the file is the same;
    // a changed one is dropped and block 0 starts over with its range.
    EXPECT_EQ(SecondRun(2, c.after), FreshAfterFirstAsk());
    ASSERT_TRUE(srv.waitAllClosed(10000));
    srv.clearRequests();
  }
}

TEST_F(BlockJobResume, ChangedLastModifiedStartsAfresh) {
  FailFirstRun(2, "", "Mon, 07 Dec 2026 10:00:00 GMT");
  EXPECT_EQ(SecondRun(2, "", "Tue, 08 Dec 2026 10:00:00 GMT"), FreshAfterFirstAsk());
}

TEST_F(BlockJobResume, ChangedBlockCountContinuesTheRecordedRanges) {
  // The record says which range each file holds, so fewer connections
  // than files still finish every file and ask only for what is missing.
  FailFirstRun(4);
  EXPECT_EQ(SecondRun(2), Continued(4));
  FailFirstRun(2);
  EXPECT_EQ(SecondRun(3), Continued(2));
}

TEST_F(BlockJobResume, RecordWithoutRangesMeansTheFixedSplitOfItsBlockCount) {
  // Written before ranges were recorded: the split of its own block count.
  FailFirstRun(4);
  std::string record = vtest::ReadFile(Sidecar("a.mp3"));
  ASSERT_NE(record.find("range=3 3000 3999\n"), std::string::npos) << record;
  record = record.substr(0, record.find("range="));
  ASSERT_TRUE(vtest::WriteFile(Sidecar("a.mp3"), record));
  EXPECT_EQ(SecondRun(3), Continued(4));
}

TEST_F(BlockJobResume, RangesThatDoNotCoverTheFileStartAfresh) {
  for (const char* ranges : {"range=0 0 1999\n", "range=0 0 1999\nrange=1 1999 3999\n",
                             "range=0 0 1999\nrange=0 2000 3999\n", "range=0 0 1999\nrange=1 2000 x\n"}) {
    SCOPED_TRACE(ranges);
    FailFirstRun(2);
    std::string record = vtest::ReadFile(Sidecar("a.mp3"));
    record = record.substr(0, record.find("range=")) + ranges;
    ASSERT_TRUE(vtest::WriteFile(Sidecar("a.mp3"), record));
    EXPECT_EQ(SecondRun(2), m_fresh2);
    ASSERT_TRUE(srv.waitAllClosed(10000));
    srv.clearRequests();
  }
}

TEST_F(BlockJobResume, ChangedFileLengthStartsAfresh) {
  FailFirstRun(2);
  const std::string longer = m_body + "xy";
  EXPECT_EQ(SecondRun(2, "", "", &longer), FreshAfterFirstAsk(kLength + 2));
}

TEST_F(BlockJobResume, BlockFilesWithoutTheirRecordStartAfresh) {
  FailFirstRun(2);
  ASSERT_EQ(unlink(Sidecar("a.mp3").c_str()), 0);
  EXPECT_EQ(SecondRun(2), m_fresh2);
}

TEST_F(BlockJobResume, DamagedRecordStartsAfresh) {
  FailFirstRun(2);
  ASSERT_TRUE(vtest::WriteFile(Sidecar("a.mp3"), "length=4000\nblocks=2\n"));
  EXPECT_EQ(SecondRun(2), m_fresh2);
}

TEST_F(BlockJobResume, WithoutResumeEveryBlockStartsAfresh) {
  FailFirstRun(2);
  srv.route("/b.mp3", Route::File(m_body));
  auto job = Job(srv.url("/b.mp3"), Target("a.mp3"), 2, owner, false);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  auto ranges = bdtest::BlockRanges(srv, "/b.mp3");
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, m_fresh2);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
}

TEST_F(BlockJobResume, CompleteBlockFilesNeedNoNewBytes) {
  // A run that fetched everything but could not place the file.
  srv.route("/a.mp3", Route::File(m_body));
  const std::string target = home.home() + "/gone/a.mp3";
  Owner first;
  auto job = Job(srv.url("/a.mp3"), target, 2, first, true);
  Run(*job, first);
  ASSERT_EQ(first.failures(), 1);
  ASSERT_EQ(first.JobTexts().back(), T(txt::kJobFolderMissing) + home.home() + "/gone");
  ASSERT_TRUE(srv.waitAllClosed(10000));
  srv.clearRequests();

  ASSERT_EQ(mkdir((home.home() + "/gone").c_str(), 0700), 0);
  auto again = Job(srv.url("/a.mp3"), target, 2, owner, true);
  Run(*again, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(target), m_body);
  // A whole block file costs no request of its own: one would ask past its
  // end. Only the first request, for the file's facts, goes out.
  EXPECT_EQ(bdtest::BlockRanges(srv, "/a.mp3"), std::vector<std::string>{"bytes=0-"});
}

TEST_F(BlockJobResume, AnotherAddressStartsAfreshEvenWithTheSameFacts) {
  FailFirstRun(2, "\"v1\"");
  // Same name, length and validator from another host: its bytes may differ.
  const std::string other = vtest::RandomBytes(kLength, 7);
  Route r = Route::File(other);
  r.etag = "\"v1\"";
  srv.route("/b.mp3", r);
  auto job = Job(srv.url("/b.mp3"), Target("a.mp3"), 2, owner, true);
  Run(*job, owner);
  ASSERT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), other);
  auto ranges = bdtest::BlockRanges(srv, "/b.mp3");
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, m_fresh2);
}

TEST_F(BlockJobResume, RecordWithoutAddressIsContinuedAndGainsIt) {
  FailFirstRun(2, "\"v1\"");
  ASSERT_TRUE(vtest::WriteFile(Sidecar("a.mp3"), "length=4000\nblocks=2\nvalidator=\"v1\"\n"));
  // Stopped once more before the end, the record then names the address.
  Route slow = Route::File(m_body);
  slow.etag = "\"v1\"";
  slow.faults.closeAfterBodyBytes = kPerAttempt;
  srv.route("/a.mp3", slow);
  Owner again;
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, again, true);
  Run(*job, again);
  auto stored = CSidecar::Read(Sidecar("a.mp3"));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->m_strURL, srv.url("/a.mp3"));
  // Continued, not started afresh: no block lost bytes and the job added
  // some (which block gets a turn before the other gives up is the
  // scheduler's business).
  size_t before = 0, after = 0;
  for (int i = 0; i < 2; ++i) {
    const size_t now = vtest::ReadFile(BlockFile("a.mp3", i)).size();
    EXPECT_GE(now, m_stored[static_cast<size_t>(i)]) << i;
    before += m_stored[static_cast<size_t>(i)];
    after += now;
  }
  EXPECT_GT(after, before);
}

}  // namespace
