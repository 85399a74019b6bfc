// The record beside block files: never another target's block, read under
// the name older copies used only when it is one, and gone before the
// files it described whenever a job starts them afresh.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "engine/job/DiskWrite.h"
#include "engine/job/Sidecar.h"
#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

class BlockJobRecord : public bdtest::JobFixture {
 protected:
  static constexpr int kLength = 40000;

  // A job whose every attempt is cut after 50 bytes (under 1 % of a block,
  // so no progress): it fails and leaves block files and their record
  // behind, as an interrupted run does.
  void CutRun(const std::string& path, const std::string& body, const std::string& target, int blocks,
              bool resume = true) {
    Route r = Route::File(body);
    r.faults.closeAfterBodyBytes = 50;
    srv.route(path, r);
    Owner o;
    auto job = Job(srv.url(path), Target(target), blocks, o, resume);
    Run(*job, o);
    ASSERT_EQ(o.failures(), 1);
    ASSERT_TRUE(srv.waitAllClosed(10000));
  }
  // A job against a healthy server that must end with the very bytes.
  void WholeRun(const std::string& path, const std::string& body, const std::string& target, int blocks) {
    srv.route(path, Route::File(body));
    Owner o;
    auto job = Job(srv.url(path), Target(target), blocks, o, true);
    Run(*job, o);
    EXPECT_EQ(o.successes(), 1) << target;
    EXPECT_EQ(vtest::ReadFile(Target(target)), body) << target;
    ExpectNoLeftovers(Target(target));
    ASSERT_TRUE(srv.waitAllClosed(10000));
  }

  const std::string m_x = vtest::RandomBytes(kLength, 1);
  const std::string m_x1 = vtest::RandomBytes(kLength, 2);
};

TEST_F(BlockJobRecord, TargetsWhoseNamesExtendEachOtherKeepTheirOwnFiles) {
  // "x-1" is block 1 of "x" as well as the name of another target.
  CutRun("/x", m_x, "x", 4);
  // The job ends as soon as one block gives up, which on a busy machine can
  // be before block 1 saw a byte: cut again (it continues) until it has some.
  for (int i = 0; i < 10 && vtest::ReadFile(BlockFile("x", 1)).empty(); ++i) CutRun("/x", m_x, "x", 4);
  CutRun("/x1", m_x1, "x-1", 4);
  ASSERT_GT(vtest::ReadFile(BlockFile("x", 1)).size(), 0u);
  EXPECT_FALSE(CSidecar::IsRecordFile(BlockFile("x", 1)));
  WholeRun("/x1", m_x1, "x-1", 4);
  EXPECT_TRUE(bdtest::Exists(BlockFile("x", 1))) << "a success of x-1 takes only its own files";
  WholeRun("/x", m_x, "x", 4);
}

TEST_F(BlockJobRecord, RecordUnderTheOldNameIsContinuedAndMoved) {
  CutRun("/x", m_x, "x", 2);
  ASSERT_EQ(rename(Sidecar("x").c_str(), OldSidecar("x").c_str()), 0);
  auto sizes = [&] {
    return std::vector<size_t>{vtest::ReadFile(BlockFile("x", 0)).size(), vtest::ReadFile(BlockFile("x", 1)).size()};
  };
  const auto stored = sizes();
  ASSERT_GT(stored[0] + stored[1], 0u);
  srv.clearRequests();
  // Cut again, so the moved record can be looked at before a success
  // removes it.
  CutRun("/x", m_x, "x", 2);
  EXPECT_FALSE(bdtest::Exists(OldSidecar("x")));
  ASSERT_TRUE(CSidecar::Read(Sidecar("x")));
  // Continued, not started afresh: no block lost bytes, and one that had
  // some never asked again from its first byte.
  const auto now = sizes();
  EXPECT_GE(now[0], stored[0]);
  EXPECT_GE(now[1], stored[1]);
  EXPECT_GT(now[0] + now[1], stored[0] + stored[1]);
  if (stored[0] > 0) {
    for (const auto& q : bdtest::BlockRanges(srv, "/x")) EXPECT_NE(q, "");
  }
  WholeRun("/x", m_x, "x", 2);
}

TEST_F(BlockJobRecord, BlockFileHoldingARecordIsNeverContinued) {
  // What older copies left: x-1's record under "x-1.hpt", which is x's
  // block 1, beside x's own old-named record.
  CutRun("/x", m_x, "x", 4);
  ASSERT_EQ(rename(Sidecar("x").c_str(), OldSidecar("x").c_str()), 0);
  CSidecar other;
  other.m_nLength = kLength;
  other.m_nBlocks = 4;
  other.m_strURL = srv.url("/x1");
  ASSERT_TRUE(vtest::WriteFile(BlockFile("x", 1), other.Text()));
  WholeRun("/x", m_x, "x", 4);
}

TEST_F(BlockJobRecord, FreshPlanWhoseRecordCannotBeWrittenFailsAtTheStart) {
  CutRun("/x", m_x, "x", 4);
  ASSERT_TRUE(bdtest::Exists(Sidecar("x")));
  // Nothing can be written under the scratch names (old and new), while
  // block files still can: a job that goes on would write blocks of a plan
  // no record describes.
  for (const auto& s : Scratch("x")) ASSERT_EQ(mkdir(s.c_str(), 0700), 0);
  Route cut = Route::File(m_x);
  cut.faults.closeAfterBodyBytes = 5000;
  srv.route("/x", cut);
  Owner o;
  auto job = Job(srv.url("/x"), Target("x"), 2, o, false);
  Run(*job, o);
  EXPECT_EQ(o.failures(), 1);
  ASSERT_FALSE(o.JobTexts().empty());
  EXPECT_NE(o.JobTexts().back().find(SystemErrorText(EISDIR)), std::string::npos);
  EXPECT_FALSE(bdtest::Exists(Sidecar("x"))) << "the old record went before its files";
  EXPECT_FALSE(bdtest::Exists(OldSidecar("x")));
  for (const auto& s : Scratch("x")) ASSERT_EQ(rmdir(s.c_str()), 0);
  ASSERT_TRUE(srv.waitAllClosed(10000));
  WholeRun("/x", m_x, "x", 4);
}

TEST_F(BlockJobRecord, ScratchFilesOfAKilledWriteGoWithTheJob) {
  for (const auto& s : Scratch("x")) ASSERT_TRUE(vtest::WriteFile(s, "length=1"));
  WholeRun("/x", m_x, "x", 2);
}

}  // namespace
