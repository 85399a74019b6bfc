#include "engine/record/RecordFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "engine/Common.h"
#include "engine/Gbk.h"
#include "res/texts/EngineTexts.h"
#include "tests/support/TempHome.h"

namespace {

std::vector<std::string> g_reports;
void Capture(const std::string& text) { g_reports.push_back(text); }

class RecordFileTest : public ::testing::Test {
 protected:
  void SetUp() override { m_path = m_home.home() + "/downing.dat"; }
  void TearDown() override { SetRecordFileReporter(nullptr); }

  // Adds a record whose texts all derive from name.
  static void Add(CRecordFile& f, const std::string& name) {
    f.m_strName = name;
    f.m_strSize = "1,024KB";
    f.m_strDone = "0KB";
    f.m_strPercent = "0%";
    f.m_strElapsed = "0m:0s";
    f.m_strRemaining = "0m:0s";
    f.m_strSpeed = "0KB/S";
    f.m_strAddress = "http://127.0.0.1/" + name;
    f.m_strBlocks = "4";
    f.m_strState = "stop";
    f.m_strRetries = "0";
    ASSERT_TRUE(f.AddNew());
  }

  void Fill(CRecordFile& f, int n) {
    ASSERT_EQ(f.Open(m_path), 1);
    for (int i = 0; i < n; ++i) Add(f, "song" + std::to_string(i));
  }

  vtest::TempHome m_home;
  std::string m_path;
};

TEST_F(RecordFileTest, EmptyFileHasNothingToMoveUpdateOrDelete) {
  CRecordFile f;
  EXPECT_EQ(f.Open(m_path), 1);
  EXPECT_TRUE(IsFileExist(m_path));
  EXPECT_EQ(f.m_nCount, 0);
  EXPECT_TRUE(f.IsEOF());
  EXPECT_EQ(f.Find("x"), -1);
  f.MoveNext();
  f.Move(3);
  f.Move(-3);
  EXPECT_TRUE(f.IsEOF());
  EXPECT_FALSE(f.Update());
  EXPECT_FALSE(f.Delete());
  EXPECT_EQ(GetFileLength(m_path), 0);
}

TEST_F(RecordFileTest, RecordsLandAtTheirOffsetsAndReadBack) {
  {
    CRecordFile f;
    Fill(f, 3);
    EXPECT_EQ(f.m_nCount, 3);
    EXPECT_EQ(f.m_nCurrent, 2);
  }
  std::string raw = vtest::ReadFile(m_path);
  ASSERT_EQ(raw.size(), 903u);
  EXPECT_STREQ(raw.data() + 301, "song1");
  EXPECT_STREQ(raw.data() + 301 + 51, "1,024KB");
  EXPECT_STREQ(raw.data() + 301 + 117, "http://127.0.0.1/song1");
  EXPECT_STREQ(raw.data() + 301 + 268, "4");
  EXPECT_STREQ(raw.data() + 301 + 279, "stop");
  EXPECT_STREQ(raw.data() + 301 + 290, "0");

  CRecordFile f;
  ASSERT_EQ(f.Open(m_path), 1);
  EXPECT_EQ(f.m_nCount, 3);
  EXPECT_EQ(f.m_nCurrent, 0);
  EXPECT_EQ(f.m_strName, "song0") << "Open reads the first record";
  f.MoveNext();
  EXPECT_EQ(f.m_strName, "song1");
  EXPECT_EQ(f.m_strAddress, "http://127.0.0.1/song1");
  EXPECT_EQ(f.m_strElapsed, "0m:0s");
  f.MoveNext();
  f.MoveNext();
  EXPECT_TRUE(f.IsEOF());
  f.MoveNext();
  EXPECT_EQ(f.m_nCurrent, 3) << "MoveNext stops at the end position";
  f.MoveFirst();
  EXPECT_EQ(f.m_strName, "song0");
}

TEST_F(RecordFileTest, MoveClampsToTheRecords) {
  CRecordFile f;
  Fill(f, 4);
  f.MoveFirst();
  f.Move(2);
  EXPECT_EQ(f.m_nCurrent, 2);
  EXPECT_EQ(f.m_strName, "song2");
  f.Move(100);
  EXPECT_EQ(f.m_nCurrent, 3);
  EXPECT_EQ(f.m_strName, "song3");
  f.Move(-100);
  EXPECT_EQ(f.m_nCurrent, 0);
  EXPECT_EQ(f.m_strName, "song0");
  f.m_strName = "changed";
  f.Move(0);
  EXPECT_EQ(f.m_strName, "changed") << "Move by 0 reads nothing";
}

TEST_F(RecordFileTest, TrailingPartialRecordIsIgnored) {
  {
    CRecordFile f;
    Fill(f, 2);
  }
  std::string raw = vtest::ReadFile(m_path) + std::string(100, 'Z');
  ASSERT_TRUE(vtest::WriteFile(m_path, raw));
  CRecordFile f;
  ASSERT_EQ(f.Open(m_path), 1);
  EXPECT_EQ(f.m_nCount, 2);
  EXPECT_EQ(f.Find("song1"), 1);
  Add(f, "song2");
  EXPECT_EQ(f.m_nCount, 3);
  EXPECT_EQ(GetFileLength(m_path), 903) << "the new record replaces the partial bytes";
  f.Close();
  ASSERT_EQ(f.Open(m_path), 1);
  EXPECT_EQ(f.Find("song2"), 2);
}

TEST_F(RecordFileTest, FindIsExactAndLeavesCursor) {
  CRecordFile f;
  Fill(f, 3);
  EXPECT_EQ(f.Find("song1"), 1);
  EXPECT_EQ(f.m_nCurrent, 1);
  EXPECT_EQ(f.m_strName, "song1");
  EXPECT_EQ(f.Find("SONG1"), -1);
  EXPECT_TRUE(f.IsEOF());
  EXPECT_EQ(f.Find("song"), -1);
  EXPECT_EQ(f.Find(""), -1);
}

TEST_F(RecordFileTest, UpdateRewritesInPlaceButNotAtTheEnd) {
  CRecordFile f;
  Fill(f, 2);
  f.MoveFirst();
  f.m_strState = "run";
  EXPECT_TRUE(f.Update());
  std::string before = vtest::ReadFile(m_path);
  EXPECT_STREQ(before.data() + 279, "run");
  EXPECT_EQ(f.m_nCount, 2);

  f.MoveNext();
  f.MoveNext();
  ASSERT_TRUE(f.IsEOF());
  f.m_strName = "ghost";
  EXPECT_FALSE(f.Update());
  EXPECT_EQ(vtest::ReadFile(m_path), before);
  EXPECT_EQ(f.m_nCount, 2);
}

TEST_F(RecordFileTest, TextsAreCutOnGbkBoundaries) {
  CRecordFile f;
  ASSERT_EQ(f.Open(m_path), 1);
  std::string wen = Utf8ToGbk("文");
  std::string name = "x";
  for (int i = 0; i < 40; ++i) name += wen;  // 81 bytes, odd cut at 50
  std::string address = "http://h/";
  for (int i = 0; i < 100; ++i) address += wen;  // 209 bytes; 150 falls inside a character
  Add(f, "placeholder");
  f.m_strName = name;
  f.m_strAddress = address;
  f.m_strSize = "12345678901234";
  ASSERT_TRUE(f.Update());
  f.Close();

  ASSERT_EQ(f.Open(m_path), 1);
  EXPECT_EQ(f.m_strName, name.substr(0, 49));
  EXPECT_EQ(f.m_strAddress, address.substr(0, 149));
  EXPECT_EQ(f.m_strSize, "1234567890");
  std::string raw = vtest::ReadFile(m_path);
  EXPECT_EQ(raw[50], '\0');
  EXPECT_EQ(raw[267], '\0');
  EXPECT_EQ(raw[61], '\0');

  std::string even;
  for (int i = 0; i < 40; ++i) even += wen;
  f.m_strName = even;
  ASSERT_TRUE(f.Update());
  f.MoveFirst();
  EXPECT_EQ(f.m_strName.size(), 50u);
}

TEST_F(RecordFileTest, RecordWithoutNulsStaysWithinFieldWidths) {
  ASSERT_TRUE(vtest::WriteFile(m_path, std::string(301, 'A')));
  CRecordFile f;
  ASSERT_EQ(f.Open(m_path), 1);
  EXPECT_EQ(f.m_strName, std::string(50, 'A'));
  EXPECT_EQ(f.m_strAddress, std::string(150, 'A'));
  EXPECT_EQ(f.m_strRetries, std::string(10, 'A'));
}

TEST_F(RecordFileTest, DeleteOnlyRecordLeavesEmptyFileAtEnd) {
  CRecordFile f;
  Fill(f, 1);
  f.MoveFirst();
  EXPECT_TRUE(f.Delete());
  EXPECT_EQ(f.m_nCount, 0);
  EXPECT_TRUE(f.IsEOF());
  EXPECT_EQ(GetFileLength(m_path), 0);
  EXPECT_FALSE(IsFileExist(m_home.home() + "/d001.tmp")) << "scratch file removed";
}

TEST_F(RecordFileTest, DeleteMiddleRecordMovesCursorToTheFollowingOne) {
  CRecordFile f;
  Fill(f, 5);
  f.MoveFirst();
  f.Move(1);
  EXPECT_TRUE(f.Delete());
  EXPECT_EQ(f.m_nCount, 4);
  EXPECT_EQ(f.m_nCurrent, 1);
  EXPECT_EQ(f.m_strName, "song2");
  EXPECT_EQ(GetFileLength(m_path), 4 * 301);
  std::vector<std::string> names;
  for (f.MoveFirst(); !f.IsEOF(); f.MoveNext()) names.push_back(f.m_strName);
  EXPECT_EQ(names, (std::vector<std::string>{"song0", "song2", "song3", "song4"}));
}

TEST_F(RecordFileTest, DeleteLastRecordMovesCursorToNewLast) {
  CRecordFile f;
  Fill(f, 3);
  f.MoveFirst();
  f.Move(2);
  EXPECT_TRUE(f.Delete());
  EXPECT_EQ(f.m_nCount, 2);
  EXPECT_EQ(f.m_nCurrent, 1);
  EXPECT_EQ(f.m_strName, "song1");
  EXPECT_FALSE(f.IsEOF());
}

TEST_F(RecordFileTest, DeleteAtEndPositionDoesNothing) {
  CRecordFile f;
  Fill(f, 2);
  f.MoveNext();
  f.MoveNext();
  ASSERT_TRUE(f.IsEOF());
  std::string before = vtest::ReadFile(m_path);
  EXPECT_FALSE(f.Delete());
  EXPECT_EQ(vtest::ReadFile(m_path), before);
}

TEST_F(RecordFileTest, DeleteKeepsTrailingBytesAndLargeFilesWhole) {
  {
    CRecordFile f;
    Fill(f, 100);  // 30,100 bytes: the tail crosses many 1024-byte chunks
  }
  std::string raw = vtest::ReadFile(m_path) + "tail";
  ASSERT_TRUE(vtest::WriteFile(m_path, raw));
  CRecordFile f;
  ASSERT_EQ(f.Open(m_path), 1);
  ASSERT_EQ(f.Find("song3"), 3);
  ASSERT_TRUE(f.Delete());
  std::string after = vtest::ReadFile(m_path);
  EXPECT_EQ(after, raw.substr(0, 3 * 301) + raw.substr(4 * 301));
  EXPECT_EQ(f.m_nCount, 99);
}

TEST_F(RecordFileTest, DeleteFailsWithoutTouchingTheFileWhenScratchCannotBeMade) {
  CRecordFile f;
  Fill(f, 3);
  const std::string before = vtest::ReadFile(m_path);

  f.m_strTempDir = m_home.root() + "/no-such-dir/";
  f.MoveFirst();
  EXPECT_FALSE(f.Delete());
  EXPECT_EQ(vtest::ReadFile(m_path), before);
  EXPECT_EQ(f.m_nCount, 3);
  EXPECT_EQ(f.m_nCurrent, 0);

  // A planted link in place of the scratch file is not followed.
  std::string decoy = m_home.root() + "/decoy";
  ASSERT_TRUE(vtest::WriteFile(decoy, "keep"));
  f.m_strTempDir = m_home.temp();
  EXPECT_EQ(f.m_strTempDir, m_home.temp());
  ASSERT_EQ(symlink(decoy.c_str(), (m_home.temp() + "d001.tmp").c_str()), 0);
  EXPECT_FALSE(f.Delete());
  EXPECT_EQ(vtest::ReadFile(m_path), before);
  EXPECT_EQ(vtest::ReadFile(decoy), "keep");
  unlink((m_home.temp() + "d001.tmp").c_str());

  if (geteuid() != 0) {
    ASSERT_EQ(chmod(m_home.temp().c_str(), 0500), 0);
    EXPECT_FALSE(f.Delete());
    EXPECT_EQ(vtest::ReadFile(m_path), before);
    ASSERT_EQ(chmod(m_home.temp().c_str(), 0700), 0);
  }

  // The object stays usable afterwards.
  f.MoveFirst();
  EXPECT_TRUE(f.Delete());
  EXPECT_EQ(f.m_strName, "song1");
}

TEST_F(RecordFileTest, OpenFailureGoesThroughTheReporter) {
  g_reports.clear();
  SetRecordFileReporter(Capture);
  CRecordFile f;
  std::string path = m_home.root() + "/missing/downing.dat";
  EXPECT_EQ(f.Open(path), 0);
  ASSERT_EQ(g_reports.size(), 1u);
  std::string expect = Utf8ToGbk(txt::kRecordFileCreateFailed);
  expect.replace(expect.find("%s"), 2, path);
  EXPECT_EQ(g_reports[0], expect);
  EXPECT_TRUE(f.IsEOF());
  f.MoveFirst();
  f.MoveNext();
  EXPECT_FALSE(f.AddNew());
  EXPECT_FALSE(f.Update());
  EXPECT_FALSE(f.Delete());
  EXPECT_EQ(f.Find("x"), -1);

  // A directory in the way is reported the same way and left alone.
  EXPECT_EQ(f.Open(m_home.downloads()), 0);
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_NE(g_reports[1].find(Utf8ToGbk(m_home.downloads())), std::string::npos);
}

TEST_F(RecordFileTest, ReopenAfterCloseStartsFresh) {
  CRecordFile f;
  Fill(f, 2);
  f.Close();
  EXPECT_EQ(f.m_bOpen, 0);
  EXPECT_EQ(f.m_nCount, 0);
  EXPECT_EQ(f.m_nCurrent, 0);
  ASSERT_EQ(f.Open(m_path), 1);
  EXPECT_EQ(f.m_nCount, 2);
  ASSERT_EQ(f.Open(m_path), 1) << "a second Open closes the first handle";
  EXPECT_EQ(f.m_nCount, 2);
}

}  // namespace
