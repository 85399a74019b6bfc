// Joining the block files: the song appears under its name only when whole,
// and a merge that goes wrong keeps what was downloaded.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <optional>

#include "engine/job/DiskWrite.h"
#include "engine/job/Sidecar.h"

#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

class BlockJobMerge : public bdtest::JobFixture {
 protected:
  void SetUp() override { srv.route("/a.mp3", Route::File(m_body)); }
  // Leaves what a run killed just before its merge leaves: every block file
  // whole and the record of their ranges, numbered 0, 2, 1 in file order
  // (as splits number them), so only a join by range puts them right.
  void LeaveWholeBlocks(const std::string& target) {
    const std::string name = GetPathFileName(target);
    std::string record;
    CBlockDownloader::SetMergeEndHook([&](CBlockDownloader&) { record = vtest::ReadFile(Sidecar(name)); });
    Owner o;
    auto job = Job(srv.url("/a.mp3"), target, 3, o);
    Run(*job, o);
    CBlockDownloader::SetMergeEndHook(nullptr);
    ASSERT_EQ(o.successes(), 1);
    ASSERT_EQ(unlink(target.c_str()), 0);
    std::optional<CSidecar> stored = CSidecar::Parse(record);
    ASSERT_TRUE(stored);
    std::vector<PlanRange>& ranges = stored->m_ranges;
    ASSERT_EQ(ranges.size(), 3u);
    std::sort(ranges.begin(), ranges.end(), [](const PlanRange& a, const PlanRange& b) { return a.m_nFirst < b.m_nFirst; });
    ranges[1].m_nBlock = 2;
    ranges[2].m_nBlock = 1;
    ASSERT_EQ(stored->WriteFor(target), 0);
    for (const auto& r : ranges)
      ASSERT_TRUE(vtest::WriteFile(BlockFile(name, r.m_nBlock), m_body.substr(r.m_nFirst, r.m_nLast - r.m_nFirst + 1)));
    srv.clearRequests();
  }
  // A resumed job over those blocks; `onWhole` runs on a block's thread
  // when it reports its block whole, before the block counts as in.
  std::unique_ptr<CBlockDownloader> Resumed(const std::string& target, Owner& o,
                                            std::function<void(int index)> onWhole = {}) {
    auto job = Job(srv.url("/a.mp3"), target, 3, o, true);
    o.onProgress = [onWhole](int received, int blockLength, int index) {
      if (onWhole && received == blockLength) onWhole(index);
    };
    return job;
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

TEST_F(BlockJobMerge, WholeBlocksOfAnEarlierRunAreJoinedByTheirRangesWithoutAskingAgain) {
  const std::string target = Target("a.mp3");
  LeaveWholeBlocks(target);
  Owner o;
  auto job = Resumed(target, o);
  Run(*job, o);
  EXPECT_EQ(o.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(target), m_body);
  ExpectNoLeftovers(target);
  const std::vector<std::string> texts = {T(txt::kJobAllBlocksDone), T(txt::kJobMerging), T(txt::kJobSucceeded)};
  EXPECT_EQ(o.JobTexts(), texts);
  // Only the request that tells the file's facts: no block asks again.
  EXPECT_EQ(srv.requestsFor("/a.mp3").size(), 1u);
}

TEST_F(BlockJobMerge, BlockFileThatChangesSizeBeforeTheMergeFailsItAndKeepsEverything) {
  const std::string target = Target("a.mp3");
  struct Case {
    int block;
    bool longer;
  };
  for (const Case c : {Case{0, false}, Case{1, false}, Case{2, false}, Case{1, true}}) {
    SCOPED_TRACE(testing::Message() << "block " << c.block << (c.longer ? " longer" : " shorter"));
    LeaveWholeBlocks(target);
    const std::string file = BlockFile("a.mp3", c.block);
    const std::string bytes = vtest::ReadFile(file);
    Owner o;
    auto job = Resumed(target, o, [&](int index) {
      if (index == c.block) vtest::WriteFile(file, c.longer ? bytes + "x" : bytes.substr(0, bytes.size() - 1));
    });
    Run(*job, o);
    EXPECT_EQ(o.failures(), 1);
    EXPECT_EQ(o.successes(), 0);
    ASSERT_FALSE(o.JobTexts().empty());
    EXPECT_EQ(o.JobTexts().back(), T(txt::kJobMergeBlockSize));
    EXPECT_EQ(job->LocalError(), 0);
    EXPECT_FALSE(bdtest::Exists(target));
    EXPECT_FALSE(bdtest::Exists(target + ".part"));
    ExpectBlocksKept("a.mp3");
    // Block 0 went back under its name whole, whichever block was wrong.
    if (c.block != 0) {
      EXPECT_EQ(vtest::ReadFile(BlockFile("a.mp3", 0)), m_body.substr(0, 1000));
    }
  }
}

TEST_F(BlockJobMerge, MissingFirstBlockFailsTheMerge) {
  const std::string target = Target("a.mp3");
  LeaveWholeBlocks(target);
  Owner o;
  auto job = Resumed(target, o, [&](int index) {
    if (index == 0) unlink(BlockFile("a.mp3", 0).c_str());
  });
  Run(*job, o);
  EXPECT_EQ(o.failures(), 1);
  ASSERT_FALSE(o.JobTexts().empty());
  EXPECT_EQ(o.JobTexts().back(), T(txt::kJobMergeReadFailed));
  EXPECT_FALSE(bdtest::Exists(target));
  EXPECT_FALSE(bdtest::Exists(target + ".part"));
}

TEST_F(BlockJobMerge, JobStoppedBeforeItsLastBlockIsInDoesNotMerge) {
  const std::string target = Target("a.mp3");
  LeaveWholeBlocks(target);
  Owner o;
  std::atomic<bool> stopped{false};
  CBlockDownloader* running = nullptr;
  auto job = Resumed(target, o, [&](int index) {
    if (index != 1) return;
    running->Stop();  // the owner stops it inside a callback
    stopped = true;
  });
  running = job.get();
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(bdtest::WaitFor([&] { return stopped.load(); }));
  job->Stop();
  EXPECT_EQ(o.successes() + o.failures(), 0);
  for (const auto& text : o.JobTexts()) EXPECT_NE(text, T(txt::kJobMerging));
  EXPECT_FALSE(bdtest::Exists(target));
  EXPECT_FALSE(bdtest::Exists(target + ".part"));
  ExpectBlocksKept("a.mp3");
  EXPECT_TRUE(bdtest::Exists(Sidecar("a.mp3")));
}

TEST_F(BlockJobMerge, AFreshJobsSongIsCopiedInPlaceAsItArrivesAndTheBlocksStayUntilItIsNamed) {
  const std::string target = Target("a.mp3");
  bool checked = false;
  CBlockDownloader::SetMergeEndHook([&](CBlockDownloader&) {
    // Nothing was joined: a crash now leaves every block and the record.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(bdtest::Exists(BlockFile("a.mp3", i))) << i;
    EXPECT_TRUE(bdtest::Exists(Sidecar("a.mp3")));
    EXPECT_EQ(vtest::ReadFile(target + ".part"), m_body);
    EXPECT_FALSE(bdtest::Exists(CPartShadow::PathFor(target)));
    checked = true;
  });
  auto job = Job(srv.url("/a.mp3"), target, 3, owner);
  Run(*job, owner);
  CBlockDownloader::SetMergeEndHook(nullptr);
  ASSERT_EQ(owner.successes(), 1);
  EXPECT_TRUE(checked);
  EXPECT_EQ(vtest::ReadFile(target), m_body);
  ExpectNoLeftovers(target);
}

TEST_F(BlockJobMerge, ACrashAfterBlockZeroBecameThePartCostsOnlyThatBlock) {
  // The files as a crash in the middle of the join would leave them: block
  // 0 gone into a half-written part, the other blocks and the record kept.
  const std::string target = Target("a.mp3");
  const std::string saved = home.root() + "/saved/";
  ASSERT_EQ(mkdir(saved.c_str(), 0700), 0);
  CBlockDownloader::SetMergeEndHook([&](CBlockDownloader&) {
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
