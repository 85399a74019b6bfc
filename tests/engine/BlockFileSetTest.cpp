// A target's block files: which an earlier run's record lets a new plan
// continue, and which go.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "engine/job/BlockFileSet.h"
#include "engine/Common.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

class BlockFileSet : public ::testing::Test {
 protected:
  std::string Temp(const std::string& name) const { return home.temp() + name; }
  bool Exists(const std::string& name) const { return access(Temp(name).c_str(), F_OK) == 0; }
  void Put(const std::string& name, const std::string& bytes) { ASSERT_TRUE(vtest::WriteFile(Temp(name), bytes)); }
  // The record a 3-block run of 3000 bytes left, its block 1 split at 1500.
  CSidecar Record() const {
    CSidecar r;
    r.m_nLength = 3000;
    r.m_nBlocks = 3;
    r.m_strValidator = "\"v1\"";
    r.m_strURL = "http://127.0.0.1:1/a.mp3";
    r.m_ranges = {{0, 0, 999}, {1, 1000, 1499}, {3, 1500, 1999}, {2, 2000, 2999}};
    return r;
  }

  vtest::TempHome home;
  const std::string target = home.downloads() + "/a.mp3";
  const CBlockFileSet files{target};
};

TEST_F(BlockFileSet, OnlyTheTargetsOwnNumberedFilesGo) {
  EXPECT_EQ(files.Name(3), Temp("a.mp3-3.hpt"));
  for (const char* n : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3-01.hpt", "a.mp3-2.hpt", "a.mp3-x.hpt", "a.mp3-1-2.hpt",
                        "a.mp3.job.hpt", "a.mp3-2.hpt.tmp", "b.mp3-0.hpt"})
    Put(n, "x");
  files.DiscardAllBut({1});
  EXPECT_TRUE(Exists("a.mp3-1.hpt"));
  EXPECT_FALSE(Exists("a.mp3-0.hpt"));
  EXPECT_FALSE(Exists("a.mp3-2.hpt"));
  EXPECT_FALSE(Exists("a.mp3-01.hpt")) << "not the name block 1 is written under";
  // Other targets' files, the record and names that are no block's stay.
  for (const char* n : {"a.mp3-x.hpt", "a.mp3-1-2.hpt", "a.mp3.job.hpt", "a.mp3-2.hpt.tmp", "b.mp3-0.hpt"})
    EXPECT_TRUE(Exists(n)) << n;
}

TEST_F(BlockFileSet, TheRecordOfThisVeryFileIsContinuedWithTheBytesItsFilesHold) {
  ASSERT_EQ(Record().WriteFor(target), 0);
  Put("a.mp3-0.hpt", std::string(999, 'a'));
  Put("a.mp3-1.hpt", std::string(600, 'b'));  // more than its range: counts as whole
  Put("a.mp3-3.hpt", "");
  Put("a.mp3-7.hpt", "stale");
  CSidecar facts = Record();
  facts.m_nBlocks = 8;  // another block count now: the record's ranges rule
  facts.m_ranges.clear();
  const CBlockPlan plan = files.Lay(facts, CSidecar::Load(target), 3000, 8);
  ASSERT_EQ(plan.Ranges().size(), 4u);
  EXPECT_EQ(plan.Ranges()[2].m_nBlock, 3);
  const auto& blocks = plan.Blocks();
  EXPECT_EQ(blocks[0].m_nBytes, 999);
  EXPECT_EQ(blocks[1].m_nBytes, 500);
  EXPECT_EQ(blocks[2].m_nBytes, 0);  // block 3's file is empty, block 2 has none
  EXPECT_FALSE(Exists("a.mp3-7.hpt"));
  EXPECT_TRUE(Exists("a.mp3-0.hpt"));
  EXPECT_TRUE(Exists("a.mp3.job.hpt"));
}

TEST_F(BlockFileSet, AnythingElseStartsAfreshAndTheOldRecordGoesFirst) {
  struct Case {
    const char* why;
    CSidecar facts;
    bool recordInABlock;
  };
  CSidecar changed = Record();
  changed.m_strValidator = "\"v2\"";
  CSidecar longer = Record();
  longer.m_nLength = 3001;
  for (const Case& c : {Case{"validator", changed, false}, Case{"length", longer, false},
                        Case{"a block file holds a record", Record(), true}}) {
    SCOPED_TRACE(c.why);
    ASSERT_EQ(Record().WriteFor(target), 0);
    Put("a.mp3-0.hpt", std::string(999, 'a'));
    Put("a.mp3-1.hpt", c.recordInABlock ? Record().Text() : std::string(10, 'b'));
    const CBlockPlan plan = files.Lay(c.facts, CSidecar::Load(target), c.facts.m_nLength, 2);
    ASSERT_EQ(plan.Ranges().size(), 2u);
    EXPECT_EQ(plan.Blocks()[1].m_nFirst, c.facts.m_nLength / 2);
    for (const auto& b : plan.Blocks()) EXPECT_EQ(b.m_nBytes, 0);
    EXPECT_FALSE(Exists("a.mp3.job.hpt"));
    EXPECT_FALSE(Exists("a.mp3-0.hpt"));
    EXPECT_FALSE(Exists("a.mp3-1.hpt"));
  }
}

TEST_F(BlockFileSet, AFileOfUnknownLengthIsOneOpenBlockFromByteZero) {
  ASSERT_EQ(Record().WriteFor(target), 0);
  Put("a.mp3-0.hpt", "old");
  CSidecar facts;
  facts.m_nLength = -1;
  const CBlockPlan plan = files.Lay(facts, CSidecar::Load(target), -1, 1);
  ASSERT_EQ(plan.Blocks().size(), 1u);
  EXPECT_EQ(plan.Blocks()[0].m_nFirst, 0);
  EXPECT_EQ(plan.Blocks()[0].Length(), -1);
  EXPECT_FALSE(Exists("a.mp3-0.hpt")) << "never continued";
}

}  // namespace
