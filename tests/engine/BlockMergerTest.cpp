// Joining block files without copying the first one: the bytes of the song,
// and what is left when a join goes wrong.
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "engine/job/BlockMerger.h"
#include "res/Texts.h"
#include "tests/support/TempHome.h"

namespace {

class BlockMergerTest : public ::testing::Test {
 protected:
  std::vector<CBlockMerger::Piece> WriteBlocks(const std::string& folder) {
    std::vector<CBlockMerger::Piece> pieces;
    const long long cuts[] = {0, 70000, 70001, 200000, static_cast<long long>(m_body.size())};
    for (int i = 0; i + 1 < 5; ++i) {
      const std::string file = folder + "song-" + std::to_string(i) + ".hpt";
      EXPECT_TRUE(vtest::WriteFile(file, m_body.substr(cuts[i], cuts[i + 1] - cuts[i])));
      chmod(file.c_str(), 0600);
      pieces.push_back({file, cuts[i + 1] - cuts[i]});
    }
    return pieces;
  }
  static ino_t Inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }
  static mode_t Mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }

  vtest::TempHome home;
  const std::string m_body = vtest::RandomBytes(300001, 9);
  const std::string m_target = home.downloads() + "/song.mp3";
  FILE* m_targetFile = nullptr;
  FILE* m_blockFile = nullptr;
  std::atomic<bool> m_stopped{false};
};

TEST_F(BlockMergerTest, FirstBlockBecomesTheSongAndTheRestIsAppended) {
  const auto pieces = WriteBlocks(home.temp());
  const ino_t first = Inode(pieces[0].file);
  const mode_t old = umask(027);
  CBlockMerger merger(m_target, pieces, static_cast<long long>(m_body.size()), m_targetFile, m_blockFile);
  const auto outcome = merger.Join(m_stopped);
  umask(old);
  EXPECT_EQ(outcome.problem, nullptr);
  EXPECT_EQ(outcome.placingError, 0);
  EXPECT_TRUE(merger.TookFirstBlock());
  EXPECT_EQ(Inode(merger.Part()), first);
  EXPECT_EQ(vtest::ReadFile(merger.Part()), m_body);
  // The user's file, not a private block: the mode a new file would get.
  EXPECT_EQ(Mode(merger.Part()), 0640u);
  EXPECT_EQ(m_targetFile, nullptr);
  EXPECT_EQ(m_blockFile, nullptr);
}

TEST_F(BlockMergerTest, AWholeCopyBecomesThePartAndTheBlocksAreOnlyChecked) {
  const auto pieces = WriteBlocks(home.temp());
  const std::string copy = home.temp() + "song.job.part.hpt";
  ASSERT_TRUE(vtest::WriteFile(copy, m_body));
  const ino_t inode = Inode(copy);
  CBlockMerger merger(m_target, pieces, static_cast<long long>(m_body.size()), m_targetFile, m_blockFile);
  merger.UseWhole(copy);
  const auto outcome = merger.Join(m_stopped);
  EXPECT_EQ(outcome.problem, nullptr);
  EXPECT_EQ(Inode(merger.Part()), inode);
  EXPECT_EQ(vtest::ReadFile(merger.Part()), m_body);
  for (const auto& p : pieces) EXPECT_EQ(access(p.file.c_str(), F_OK), 0) << p.file;
  // Kept for a later run after all: the blocks are as they were.
  merger.KeepBlocks();
  EXPECT_NE(access(merger.Part().c_str(), F_OK), 0);
  EXPECT_EQ(vtest::ReadFile(pieces[0].file), m_body.substr(0, 70000));
}

TEST_F(BlockMergerTest, ACopyBesideBlocksThatDoNotMatchTheirRangesIsNotTrusted) {
  auto pieces = WriteBlocks(home.temp());
  // The record says block 2 is longer than its file: the copy may hold
  // bytes nobody checked, so the blocks are joined and judged as ever.
  pieces[2].length += 1;
  pieces[3].length -= 1;
  const std::string copy = home.temp() + "song.job.part.hpt";
  ASSERT_TRUE(vtest::WriteFile(copy, m_body));
  CBlockMerger merger(m_target, pieces, static_cast<long long>(m_body.size()), m_targetFile, m_blockFile);
  merger.UseWhole(copy);
  const auto outcome = merger.Join(m_stopped);
  EXPECT_STREQ(outcome.problem, txt::kJobMergeBlockSize);
  EXPECT_NE(access(copy.c_str(), F_OK), 0);
  merger.KeepBlocks();
  EXPECT_EQ(vtest::ReadFile(pieces[0].file), m_body.substr(0, 70000));
}

TEST_F(BlockMergerTest, AFailedJoinPutsTheFirstBlockBackAsItWas) {
  for (size_t bad = 1; bad < 4; ++bad) {
    SCOPED_TRACE(bad);
    auto pieces = WriteBlocks(home.temp());
    std::string shorter = vtest::ReadFile(pieces[bad].file);
    shorter.pop_back();
    ASSERT_TRUE(vtest::WriteFile(pieces[bad].file, shorter));
    CBlockMerger merger(m_target, pieces, static_cast<long long>(m_body.size()), m_targetFile, m_blockFile);
    const auto outcome = merger.Join(m_stopped);
    EXPECT_STREQ(outcome.problem, txt::kJobMergeBlockSize);
    merger.KeepBlocks();
    EXPECT_EQ(vtest::ReadFile(pieces[0].file), m_body.substr(0, 70000));
    EXPECT_EQ(Mode(pieces[0].file), 0600u);
    EXPECT_NE(access(merger.Part().c_str(), F_OK), 0);
  }
}

TEST_F(BlockMergerTest, AFirstBlockOfTheWrongSizeIsNeitherTakenNorChanged) {
  auto pieces = WriteBlocks(home.temp());
  ASSERT_TRUE(vtest::WriteFile(pieces[0].file, m_body.substr(0, 70001)));
  CBlockMerger merger(m_target, pieces, static_cast<long long>(m_body.size()), m_targetFile, m_blockFile);
  EXPECT_STREQ(merger.Join(m_stopped).problem, txt::kJobMergeBlockSize);
  EXPECT_FALSE(merger.TookFirstBlock());
  merger.KeepBlocks();
  EXPECT_EQ(vtest::ReadFile(pieces[0].file), m_body.substr(0, 70001));
  EXPECT_NE(access(merger.Part().c_str(), F_OK), 0);
}

TEST_F(BlockMergerTest, AStopDuringTheJoinKeepsEveryBlock) {
  const auto pieces = WriteBlocks(home.temp());
  m_stopped = true;
  CBlockMerger merger(m_target, pieces, static_cast<long long>(m_body.size()), m_targetFile, m_blockFile);
  EXPECT_TRUE(merger.Join(m_stopped).stopped);
  merger.KeepBlocks();
  for (const auto& p : pieces) EXPECT_EQ(static_cast<long long>(vtest::ReadFile(p.file).size()), p.length);
  EXPECT_NE(access(merger.Part().c_str(), F_OK), 0);
}

TEST_F(BlockMergerTest, BlocksOnAnotherFileSystemAreCopied) {
  // A memory file system beside the temp home, when the machine has one.
  struct stat shm, here;
  if (stat("/dev/shm", &shm) != 0 || stat(home.home().c_str(), &here) != 0 || shm.st_dev == here.st_dev ||
      access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second file system to copy from";
  char folder[] = "/dev/shm/vmp3-merge-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const auto pieces = WriteBlocks(std::string(folder) + "/");
  {
    CBlockMerger merger(m_target, pieces, static_cast<long long>(m_body.size()), m_targetFile, m_blockFile);
    EXPECT_EQ(merger.Join(m_stopped).problem, nullptr);
    EXPECT_FALSE(merger.TookFirstBlock());
    EXPECT_EQ(vtest::ReadFile(merger.Part()), m_body);
    EXPECT_EQ(vtest::ReadFile(pieces[0].file), m_body.substr(0, 70000));
  }
  for (const auto& p : pieces) unlink(p.file.c_str());
  rmdir(folder);
}

TEST_F(BlockMergerTest, PiecesOfSeveralCopyStepsLandWholeAndInOrder) {
  // Lengths off every power of two, so each piece ends inside a step of the
  // kernel copy and of the copy through memory, on one file system and
  // across two.
  const std::string body = vtest::RandomBytes((13u << 20) + 5, 4);
  const long long cuts[] = {0, (4 << 20) + 1, (13 << 20) - 3, static_cast<long long>(body.size())};
  std::vector<std::string> folders = {home.temp()};
  char shm[] = "/dev/shm/vmp3-merge-XXXXXX";
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && access("/dev/shm", W_OK) == 0 && mkdtemp(shm)) folders.push_back(std::string(shm) + "/");
  for (const std::string& folder : folders) {
    SCOPED_TRACE(folder);
    std::vector<CBlockMerger::Piece> pieces;
    for (int i = 0; i < 3; ++i) {
      const std::string file = folder + "long-" + std::to_string(i) + ".hpt";
      ASSERT_TRUE(vtest::WriteFile(file, body.substr(cuts[i], cuts[i + 1] - cuts[i])));
      chmod(file.c_str(), 0600);
      pieces.push_back({file, cuts[i + 1] - cuts[i]});
    }
    CBlockMerger merger(m_target, pieces, static_cast<long long>(body.size()), m_targetFile, m_blockFile);
    EXPECT_EQ(merger.Join(m_stopped).problem, nullptr);
    EXPECT_TRUE(vtest::ReadFile(merger.Part()) == body);
    merger.Discard();
    for (const auto& p : pieces) unlink(p.file.c_str());
  }
  if (folders.size() > 1) rmdir(shm);
}

}  // namespace
