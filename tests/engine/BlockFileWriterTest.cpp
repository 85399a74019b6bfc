// The block file: which file is continued, what is made afresh, and that
// gathered bytes reach it only when flushed.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "engine/http/BlockFileWriter.h"
#include "engine/job/DiskWrite.h"
#include "tests/support/TempHome.h"

namespace {

using Opened = BlockFileWriter::Opened;

class BlockFileWriterTest : public ::testing::Test {
 protected:
  vtest::TempHome m_home;
  const std::string m_path = m_home.temp() + "s.mp3-1.hpt";
  BlockFileWriter m_w;
  long long m_held = -1;
};

TEST_F(BlockFileWriterTest, ContinuesOnlyAFileOfOursThatFitsTheBlock) {
  ASSERT_TRUE(vtest::WriteFile(m_path, "12345"));
  EXPECT_EQ(m_w.Open(m_path, true, 5, m_held), Opened::kContinued);
  EXPECT_EQ(m_held, 5);
  m_w.Append("6", 1);
  ASSERT_TRUE(m_w.Close());
  EXPECT_EQ(vtest::ReadFile(m_path), "123456");
  // Longer than the block, or not to be resumed, or empty: made afresh.
  EXPECT_EQ(m_w.Open(m_path, true, 5, m_held), Opened::kCreated);
  EXPECT_EQ(m_held, 0);
  EXPECT_EQ(vtest::ReadFile(m_path), "");
  ASSERT_TRUE(vtest::WriteFile(m_path, "12"));
  EXPECT_EQ(m_w.Open(m_path, false, 5, m_held), Opened::kCreated);
  EXPECT_EQ(m_w.Open(m_path, true, 5, m_held), Opened::kCreated) << "an empty file holds nothing to go on from";
  // A block of unknown length (-1) never continues.
  ASSERT_TRUE(vtest::WriteFile(m_path, "12"));
  EXPECT_EQ(m_w.Open(m_path, true, -1, m_held), Opened::kCreated);
  m_w.Close();
  struct stat st{};
  ASSERT_EQ(stat(m_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(BlockFileWriterTest, ALinkIsReplacedNeverFollowed) {
  const std::string victim = m_home.root() + "/victim";
  ASSERT_TRUE(vtest::WriteFile(victim, "keep"));
  ASSERT_EQ(symlink(victim.c_str(), m_path.c_str()), 0);
  EXPECT_EQ(m_w.Open(m_path, true, 100, m_held), Opened::kCreated);
  m_w.Append("new", 3);
  ASSERT_TRUE(m_w.Close());
  EXPECT_EQ(vtest::ReadFile(victim), "keep");
  EXPECT_EQ(vtest::ReadFile(m_path), "new");
}

TEST_F(BlockFileWriterTest, GatheredBytesReachTheFileOnlyWhenFlushed) {
  ASSERT_EQ(m_w.Open(m_path, false, 100, m_held), Opened::kCreated);
  m_w.Append("abc", 3);
  m_w.Append("de", 2);
  EXPECT_EQ(m_w.Pending(), 5u);
  EXPECT_EQ(std::string(m_w.PendingData(), m_w.Pending()), "abcde");
  EXPECT_EQ(vtest::ReadFile(m_path), "");
  ASSERT_TRUE(m_w.Flush());
  EXPECT_EQ(m_w.Pending(), 0u);
  EXPECT_EQ(vtest::ReadFile(m_path), "abcde");
  // Dropped bytes never arrive.
  m_w.Append("zz", 2);
  m_w.DropPending();
  ASSERT_TRUE(m_w.Close());
  EXPECT_EQ(vtest::ReadFile(m_path), "abcde");
}

TEST_F(BlockFileWriterTest, AFailedWriteSaysWhy) {
  ASSERT_EQ(m_w.Open(m_path, false, 100, m_held), Opened::kCreated);
  InjectWriteError(m_home.temp(), ENOSPC);
  m_w.Append("abc", 3);
  EXPECT_FALSE(m_w.Flush());
  EXPECT_EQ(m_w.Error(), ENOSPC);
  InjectWriteError(m_home.temp(), 0);
  m_w.Close();
  // Nothing open: gathered bytes cannot be written, and no local cause is named.
  m_w.Append("x", 1);
  EXPECT_FALSE(m_w.Flush());
  EXPECT_EQ(m_w.Error(), 0);
  // A folder that cannot be written: the open fails with its cause.
  BlockFileWriter other;
  EXPECT_EQ(other.Open(m_home.root() + "/no/such/folder/f.hpt", false, 10, m_held), Opened::kFailed);
  EXPECT_EQ(other.Error(), ENOENT);
  EXPECT_FALSE(other.IsOpen());
}

}  // namespace
