// Whole jobs against servers that frame their bytes oddly, tell two
// lengths, change the file or answer with a page: the job either produces
// the served file byte for byte or fails with a text, and never reports
// success with other bytes.
#include <algorithm>
#include <memory>

#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

constexpr char kBusy[] = "<html>busy, try later</html>";

class BlockJobTrust : public bdtest::JobFixture {
 protected:
  static constexpr int kLength = 100003;

  // Runs a job over route r at /a.mp3 and checks the allowed outcomes.
  // Returns whether it succeeded.
  bool Fetch(Route r, int blocks, Owner& o, bool resume = false) {
    r.body = m_body;
    srv.route("/a.mp3", r);
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), blocks, o, resume);
    Run(*job, o);
    if (o.successes() == 1) {
      EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
      EXPECT_EQ(o.contentLength(), kLength);
      ExpectNoLeftovers(Target("a.mp3"));
      return true;
    }
    EXPECT_EQ(o.failures(), 1);
    EXPECT_FALSE(bdtest::Exists(Target("a.mp3"))) << "a failed job leaves no song";
    EXPECT_FALSE(bdtest::Exists(Target("a.mp3") + ".part"));
    return false;
  }
  bool HasJobText(const Owner& o, const char* utf8) const {
    auto texts = o.JobTexts();
    return std::find(texts.begin(), texts.end(), T(utf8)) != texts.end();
  }
  bool HasText(const Owner& o, const char* utf8) const {
    for (const auto& m : o.messages())
      if (m.text == T(utf8)) return true;
    return false;
  }

  const std::string m_body = vtest::RandomBytes(kLength, 77);
};

TEST_F(BlockJobTrust, ChunkedFilesAreDownloaded) {
  Route r;
  r.faults.chunked = true;
  r.faults.chunkBytes = 1500;
  EXPECT_TRUE(Fetch(r, 4, owner));
  Owner single;
  r.faults.ignoreRange = true;  // one block, 200, total from nowhere: unknown length
  std::remove(Target("a.mp3").c_str());
  EXPECT_TRUE(Fetch(r, 4, single));
  EXPECT_EQ(bdtest::BlockRanges(srv, "/a.mp3").back(), "bytes=0-") << "the first reply is the block";
}

TEST_F(BlockJobTrust, CloseDelimitedFileOfUnknownLengthIsOneBlock) {
  Route r;
  r.faults.noContentLength = true;
  r.faults.ignoreRange = true;
  EXPECT_TRUE(Fetch(r, 4, owner));
  EXPECT_EQ(srv.requestsFor("/a.mp3").size(), 1u) << "the first reply is the one block";
}

TEST_F(BlockJobTrust, OneShortPageNeverBecomesTheSong) {
  for (bool withoutRange : {false, true}) {
    Owner o;
    std::remove(Target("a.mp3").c_str());
    Route r;
    r.faults.busyPage = kBusy;
    r.faults.busyPageWithoutRangeOnly = withoutRange;
    EXPECT_TRUE(Fetch(r, 4, o)) << withoutRange;
  }
}

TEST_F(BlockJobTrust, ShortPageForBlockZeroFailsOnlyThatAttempt) {
  // The first reply ends before its body, so block 0 asks again from
  // byte 0 on its own, and that request gets the page.
  Route r;
  r.faults.busyPage = kBusy;
  r.faults.busyPageWithoutRangeOnly = true;
  vtest::Faults cut;
  cut.closeAfterBodyBytes = 0;
  r.rangeFaults["bytes=0-"] = cut;
  EXPECT_TRUE(Fetch(r, 4, owner));
  const auto ranges = bdtest::BlockRanges(srv, "/a.mp3");
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), ""), 2) << "the page, then the file";
}

TEST_F(BlockJobTrust, HeaderCutDuringABlockIsRetried) {
  GetTimeOut = 1;
  Route r;
  r.faults.stallAfterHeaderBytes = 60;
  r.faults.stallMs = 2500;
  r.faults.notFirst = 1;  // block 1's request, after the first one
  r.faults.onlyFirst = 2;
  EXPECT_TRUE(Fetch(r, 2, owner));
  EXPECT_TRUE(HasText(owner, txt::kSockHeaderCut));
  GetTimeOut = 15;
}

TEST_F(BlockJobTrust, ChangedFileFailsAndDropsTheBlocks) {
  Route r;
  r.faults.contentRangeTotal = kLength + 10;
  r.faults.notFirst = 1;  // the first reply agrees; the other blocks then differ
  r.faults.dripBytes = 4000;
  r.faults.dripIntervalMs = 5;
  EXPECT_FALSE(Fetch(r, 4, owner, true));
  EXPECT_TRUE(HasJobText(owner, txt::kJobFileChanged));
  ExpectNoLeftovers(Target("a.mp3"));
}

TEST_F(BlockJobTrust, PageServedWithRangesIsNeverKept) {
  const std::string page = "<!DOCTYPE html>\n<html><body>quota exceeded</body></html>" + std::string(kLength, ' ');
  for (const char* type : {"text/html", ""}) {
    Owner o;
    Route r = Route::File(page.substr(0, kLength));
    r.contentType = type;
    srv.route("/page.mp3", r);
    auto job = Job(srv.url("/page.mp3"), Target("p.mp3"), 4, o);
    Run(*job, o);
    EXPECT_EQ(o.successes(), 0) << type;
    EXPECT_EQ(o.failures(), 1) << type;
    EXPECT_TRUE(HasText(o, txt::kSockNotASong)) << type;
    EXPECT_FALSE(bdtest::Exists(Target("p.mp3"))) << type;
  }
}

TEST_F(BlockJobTrust, MergedPageFromAnEarlierRunIsRemoved) {
  // An earlier run leaves its block files; block 0 then holds a page of
  // exactly its length, as a version without the reply checks stored it.
  Route cut = Route::File(m_body);
  cut.faults.closeAfterBodyBytes = 100;  // under 1 % of a block: it gives up
  srv.route("/a.mp3", cut);
  {
    Owner first;
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, first, true);
    Run(*job, first);
    ASSERT_EQ(first.failures(), 1);
  }
  const int block0 = kLength / 2;
  std::string page = "<html><body>not here</body></html>";
  page.resize(static_cast<size_t>(block0), ' ');
  ASSERT_TRUE(vtest::WriteFile(BlockFile("a.mp3", 0), page));
  ASSERT_TRUE(bdtest::Exists(Sidecar("a.mp3")));

  EXPECT_FALSE(Fetch(Route(), 2, owner, true));
  EXPECT_TRUE(HasJobText(owner, txt::kSockNotASong));
  ExpectNoLeftovers(Target("a.mp3"));
}

}  // namespace
