// Files in the temp folder that another user could have written: planted
// block files, records and lock files are never continued, read back or
// written through, and never hold the name; our own files from before the
// private folder existed are still continued.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "engine/job/Sidecar.h"
#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

class ForeignTempFiles : public bdtest::JobFixture {
 protected:
  static constexpr int kLength = 4000;

  void SetUp() override {
    Route r = Route::File(m_body);
    r.etag = "\"v1\"";
    srv.route("/a.mp3", r);
  }
  // A record that describes the served file in two blocks: what a job
  // continues when it trusts it.
  void PlantRecord() {
    CSidecar facts;
    facts.m_nLength = kLength;
    facts.m_nBlocks = 2;
    facts.m_strValidator = "\"v1\"";
    facts.m_strURL = srv.url("/a.mp3");
    ASSERT_EQ(facts.WriteFor(Target("a.mp3")), 0);
  }
  // Another user's file, when we may make one (root), else one that
  // everyone may write: neither may be trusted.
  static void MakeForeign(const std::string& path) {
    if (geteuid() == 0)
      ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    else
      ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  }
  // Runs a resuming job and checks the song is the served file exactly.
  void FetchWhole(Owner& o) {
    auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, o, true);
    Run(*job, o);
    EXPECT_EQ(o.successes(), 1);
    EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
  }
  std::vector<std::string> BlockRanges() const {
    std::vector<std::string> out;
    for (const auto& r : srv.requestsFor("/a.mp3"))
      if (r.method == "GET" && r.range.rfind("bytes=", 0) == 0 && r.range.back() != '-') out.push_back(r.range);
    std::sort(out.begin(), out.end());
    return out;
  }

  const std::string m_body = vtest::RandomBytes(kLength, 5);
};

TEST_F(ForeignTempFiles, PlantedBlocksUnderOurRecordAreFetchedAgainNotWrittenThrough) {
  PlantRecord();
  const std::string whole(kLength / 2, 'X');
  ASSERT_TRUE(vtest::WriteFile(BlockFile("a.mp3", 0), whole));
  ASSERT_TRUE(vtest::WriteFile(BlockFile("a.mp3", 1), "YYYYYYYYYY"));
  MakeForeign(BlockFile("a.mp3", 0));
  MakeForeign(BlockFile("a.mp3", 1));
  // Kept open: the planter's file must not change under them.
  const int planted = open(BlockFile("a.mp3", 1).c_str(), O_RDONLY);
  ASSERT_GE(planted, 0);
  FetchWhole(owner);
  char buf[32] = {};
  EXPECT_EQ(pread(planted, buf, sizeof buf, 0), 10);
  EXPECT_EQ(std::string(buf, 10), "YYYYYYYYYY");
  close(planted);
  // Block 0 from byte 0 asks without a range.
  EXPECT_EQ(BlockRanges(), std::vector<std::string>{"bytes=2000-3999"}) << "neither block was continued";
}

TEST_F(ForeignTempFiles, APlantedRecordIsNotBelieved) {
  PlantRecord();
  MakeForeign(Sidecar("a.mp3"));
  ASSERT_TRUE(vtest::WriteFile(BlockFile("a.mp3", 0), std::string(kLength / 2, 'X')));
  FetchWhole(owner);
  ExpectNoLeftovers(Target("a.mp3"));
}

TEST_F(ForeignTempFiles, APlantedLockHeldForEverDoesNotHoldTheName) {
  const std::string lock = home.temp() + "a.mp3.lock";
  const int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  MakeForeign(lock);
  FetchWhole(owner);
  for (const auto& t : owner.JobTexts()) EXPECT_NE(t, T(txt::kJobWaitingForTarget));
  close(fd);
}

TEST_F(ForeignTempFiles, OurBlocksFromTheFormerFolderAreContinued) {
  PlantRecord();
  ASSERT_TRUE(vtest::WriteFile(BlockFile("a.mp3", 0), m_body.substr(0, 100)));
  ASSERT_TRUE(vtest::WriteFile(BlockFile("a.mp3", 1), m_body.substr(2000, 300)));
  for (const char* name : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3.job.hpt"})
    ASSERT_EQ(rename((home.temp() + name).c_str(), (home.tmpdir() + name).c_str()), 0) << name;
  FetchWhole(owner);
  EXPECT_EQ(BlockRanges(), (std::vector<std::string>{"bytes=100-1999", "bytes=2300-3999"}));
  // Block 0 goes on with the first reply, asked from where its file ends.
  EXPECT_EQ(srv.requestsFor("/a.mp3").at(0).range, "bytes=100-1999");
  ExpectNoLeftovers(Target("a.mp3"));
}

}  // namespace
