// Joining the block files: the song appears under its name only when whole,
// and a merge that goes wrong keeps what was downloaded.
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "engine/job/DiskWrite.h"

#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

class BlockJobMerge : public bdtest::JobFixture {
 protected:
  void SetUp() override { srv.route("/a.mp3", Route::File(m_body)); }
  // Plans a 3-block job of m_body without running it; the test writes the
  // block files itself and merges by hand.
  std::unique_ptr<CBlockDownloader> Planned(const std::string& target) {
    auto job = Job(srv.url("/a.mp3"), target, 3, owner);
    job->Prepare();
    EXPECT_EQ(job->m_pstrTempFiles.size(), 3u);
    return job;
  }
  void WriteBlocks(const std::string& target) {
    const std::string name = GetPathFileName(target);
    ASSERT_TRUE(vtest::WriteFile(BlockFile(name, 0), m_body.substr(0, 1000)));
    ASSERT_TRUE(vtest::WriteFile(BlockFile(name, 1), m_body.substr(1000, 1000)));
    ASSERT_TRUE(vtest::WriteFile(BlockFile(name, 2), m_body.substr(2000)));
  }
  void ExpectBlocksKept(const std::string& name) {
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(bdtest::Exists(BlockFile(name, i))) << i;
  }

  const std::string m_body = vtest::RandomBytes(3001, 5);
};

TEST_F(BlockJobMerge, MissingTargetFolderFailsWithItsNameAndKeepsBlocks) {
  const std::string folder = home.home() + "/nowhere";
  const std::string target = folder + "/a.mp3";
  auto job = Job(srv.url("/a.mp3"), target, 3, owner);
  Run(*job, owner);
  const std::string why = T(txt::kJobFolderMissing) + folder;
  const std::vector<std::string> texts = {T(txt::kJobAllBlocksDone), T(txt::kJobMerging), why};
  EXPECT_EQ(owner.JobTexts(), texts);
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.successes(), 0);
  // Ours, not the link's: the owner tries no other one.
  EXPECT_NE(job->LocalError(), 0);
  EXPECT_EQ(job->LocalErrorText(), why);
  ExpectBlocksKept("a.mp3");
  EXPECT_TRUE(bdtest::Exists(Sidecar("a.mp3")));
}

TEST_F(BlockJobMerge, TargetThatCannotBeReplacedFailsWithTheSystemsText) {
  const std::string target = Target("a.mp3");
  ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
  auto job = Job(srv.url("/a.mp3"), target, 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.JobTexts().back(), SystemErrorText(EISDIR));
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.successes(), 0);
  EXPECT_EQ(job->LocalErrorText(), SystemErrorText(EISDIR));
  EXPECT_FALSE(bdtest::Exists(target + ".part"));
  ExpectBlocksKept("a.mp3");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(BlockJobMerge, PartThatCannotBeMadeFailsWithTheSystemsText) {
  // Something other than a file (or a full disk) in the way of the ".part".
  const std::string target = Target("a.mp3");
  ASSERT_EQ(mkdir((target + ".part").c_str(), 0700), 0);
  ASSERT_TRUE(vtest::WriteFile(target + ".part/x", "x"));
  auto job = Job(srv.url("/a.mp3"), target, 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  ASSERT_FALSE(owner.JobTexts().empty());
  EXPECT_EQ(owner.JobTexts().back(), SystemErrorText(EISDIR));
  ExpectBlocksKept("a.mp3");
}

TEST_F(BlockJobMerge, StalePartFromACrashIsOverwritten) {
  const std::string target = Target("a.mp3");
  ASSERT_TRUE(vtest::WriteFile(target + ".part", std::string(9000, 'z')));
  auto job = Job(srv.url("/a.mp3"), target, 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(target), m_body);
  ExpectNoLeftovers(target);
}

TEST_F(BlockJobMerge, StalePartLinkIsReplacedNotFollowed) {
  const std::string target = Target("a.mp3");
  const std::string victim = home.home() + "/victim";
  ASSERT_TRUE(vtest::WriteFile(victim, "keep me"));
  ASSERT_EQ(symlink(victim.c_str(), (target + ".part").c_str()), 0);
  auto job = Job(srv.url("/a.mp3"), target, 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(target), m_body);
  EXPECT_EQ(vtest::ReadFile(victim), "keep me");
}

TEST_F(BlockJobMerge, HandWrittenBlocksMergeInOrder) {
  const std::string target = Target("a.mp3");
  auto job = Planned(target);
  WriteBlocks(target);
  job->MergeBlocks();
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(target), m_body);
  ExpectNoLeftovers(target);
  job->Stop();
}

TEST_F(BlockJobMerge, BlockOfTheWrongSizeFailsAndKeepsEverything) {
  const std::string target = Target("a.mp3");
  for (int bad = 0; bad < 3; ++bad) {
    SCOPED_TRACE(bad);
    Owner o;
    auto job = Planned(target);
    o.Attach(*job);
    WriteBlocks(target);
    const std::string file = BlockFile("a.mp3", bad);
    std::string shorter = vtest::ReadFile(file);
    shorter.pop_back();
    ASSERT_TRUE(vtest::WriteFile(file, shorter));
    job->MergeBlocks();
    EXPECT_EQ(o.failures(), 1);
    EXPECT_EQ(o.successes(), 0);
    EXPECT_EQ(o.JobTexts().back(), T(txt::kJobMergeBlockSize));
    EXPECT_FALSE(bdtest::Exists(target));
    EXPECT_FALSE(bdtest::Exists(target + ".part"));
    ExpectBlocksKept("a.mp3");
    job->Stop();
  }
}

TEST_F(BlockJobMerge, OversizedBlockFailsTheMerge) {
  const std::string target = Target("a.mp3");
  auto job = Planned(target);
  WriteBlocks(target);
  ASSERT_TRUE(vtest::WriteFile(BlockFile("a.mp3", 1), m_body.substr(1000, 1001)));
  job->MergeBlocks();
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.JobTexts().back(), T(txt::kJobMergeBlockSize));
  EXPECT_FALSE(bdtest::Exists(target));
  job->Stop();
}

TEST_F(BlockJobMerge, MissingFirstBlockFailsTheMerge) {
  const std::string target = Target("a.mp3");
  auto job = Planned(target);
  WriteBlocks(target);
  ASSERT_EQ(unlink(BlockFile("a.mp3", 0).c_str()), 0);
  job->MergeBlocks();
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.JobTexts().back(), T(txt::kJobMergeReadFailed));
  EXPECT_FALSE(bdtest::Exists(target));
  EXPECT_FALSE(bdtest::Exists(target + ".part"));
  job->Stop();
}

TEST_F(BlockJobMerge, StoppedJobDoesNotMerge) {
  const std::string target = Target("a.mp3");
  auto job = Planned(target);
  WriteBlocks(target);
  job->Stop();
  job->MergeBlocks();
  EXPECT_EQ(owner.successes() + owner.failures(), 0);
  EXPECT_FALSE(bdtest::Exists(target));
  EXPECT_FALSE(bdtest::Exists(target + ".part"));
  ExpectBlocksKept("a.mp3");
}

TEST_F(BlockJobMerge, ACrashAfterBlockZeroBecameThePartCostsOnlyThatBlock) {
  // The files as a crash in the middle of the join would leave them: block
  // 0 gone into a half-written part, the other blocks and the record kept.
  const std::string target = Target("a.mp3");
  const std::string saved = home.root() + "/saved/";
  ASSERT_EQ(mkdir(saved.c_str(), 0700), 0);
  CBlockDownloader::SetMergeEndHook([&](CBlockDownloader&) {
    EXPECT_FALSE(bdtest::Exists(BlockFile("a.mp3", 0)));
    const std::string part = vtest::ReadFile(target + ".part");
    EXPECT_EQ(part, m_body);
    vtest::WriteFile(saved + "part", part.substr(0, 1500));
    vtest::WriteFile(saved + "sidecar", vtest::ReadFile(Sidecar("a.mp3")));
    for (int i = 1; i < 3; ++i) vtest::WriteFile(saved + std::to_string(i), vtest::ReadFile(BlockFile("a.mp3", i)));
  });
  auto first = Job(srv.url("/a.mp3"), target, 3, owner);
  Run(*first, owner);
  CBlockDownloader::SetMergeEndHook(nullptr);
  ASSERT_EQ(owner.successes(), 1);
  ASSERT_EQ(unlink(target.c_str()), 0);
  ASSERT_TRUE(vtest::WriteFile(target + ".part", vtest::ReadFile(saved + "part")));
  ASSERT_TRUE(vtest::WriteFile(Sidecar("a.mp3"), vtest::ReadFile(saved + "sidecar")));
  for (int i = 1; i < 3; ++i)
    ASSERT_TRUE(vtest::WriteFile(BlockFile("a.mp3", i), vtest::ReadFile(saved + std::to_string(i))));

  srv.clearRequests();
  Owner again;
  auto second = Job(srv.url("/a.mp3"), target, 3, again, true);
  Run(*second, again);
  EXPECT_EQ(again.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(target), m_body);
  ExpectNoLeftovers(target);
  // Only block 0 was fetched again (a resume's one-byte probe aside).
  for (const auto& r : srv.requestsFor("/a.mp3")) {
    if (r.range.empty()) continue;  // the length request
    ASSERT_EQ(r.range.rfind("bytes=", 0), 0u) << r.range;
    EXPECT_LT(std::stoll(r.range.substr(6)), 1000) << r.range;
  }
}

}  // namespace
