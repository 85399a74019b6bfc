// The facts kept beside block files: read back exactly, refused when damaged,
// and matched so that no job continues bytes written for another file.
#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/Sidecar.h"
#include "tests/support/TempHome.h"

namespace {

CSidecar Facts(int length, int blocks, std::string validator, std::string url) {
  CSidecar s;
  s.m_nLength = length;
  s.m_nBlocks = blocks;
  s.m_strValidator = std::move(validator);
  s.m_strURL = std::move(url);
  return s;
}

TEST(Sidecar, WrittenFactsReadBackAndReplaceTheOldFile) {
  vtest::TempHome home;
  const std::string path = CSidecar::PathFor("/somewhere/else/a.mp3");
  EXPECT_EQ(path, home.temp() + "a.mp3.hpt");
  ASSERT_TRUE(vtest::WriteFile(path, "old and longer text that must not survive\n"));
  ASSERT_TRUE(Facts(4000, 3, "\"v1\"", "http://h:81/a.mp3").Write(path));
  auto back = CSidecar::Read(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->m_nLength, 4000);
  EXPECT_EQ(back->m_nBlocks, 3);
  EXPECT_EQ(back->m_strValidator, "\"v1\"");
  EXPECT_EQ(back->m_strURL, "http://h:81/a.mp3");
  EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
  EXPECT_FALSE(CSidecar::Read(home.temp() + "missing.hpt"));
}

TEST(Sidecar, LineBreaksInFactsCannotForgeLines) {
  const auto s = Facts(10, 1, "\"a\"\r\nurl=http://x/", "http://h/a\n.mp3");
  auto back = CSidecar::Parse(s.Text());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->m_strValidator, "\"a\"url=http://x/");
  EXPECT_EQ(back->m_strURL, "http://h/a.mp3");
}

TEST(Sidecar, DamagedOrForeignTextIsRefused) {
  for (const char* text : {"", "length=4000\nblocks=2\n", "length=4000\nblocks=2\nvalidator=\nurl=x",
                           "length=4000\nlength=4000\nblocks=2\nvalidator=\n",
                           "length=-4\nblocks=2\nvalidator=\n", "length=4k\nblocks=2\nvalidator=\n",
                           "length=99999999999\nblocks=2\nvalidator=\n",
                           "length=4000\nblocks=2\nvalidator=\ncolour=red\n", "length=4000\nblocks 2\nvalidator=\n",
                           "length=4000\nblocks=2\nvalidator=\nurl=a\nurl=a\n"})
    EXPECT_FALSE(CSidecar::Parse(text)) << text;
}

TEST(Sidecar, FilesFromBeforeAddressesWereKeptMatchByTheRest) {
  auto old = CSidecar::Parse("length=4000\nblocks=2\nvalidator=\"v1\"\n");
  ASSERT_TRUE(old);
  EXPECT_TRUE(Facts(4000, 2, "\"v1\"", "http://h/a.mp3").Continues(*old));
  EXPECT_FALSE(Facts(4000, 2, "\"v2\"", "http://h/a.mp3").Continues(*old));
}

TEST(Sidecar, EveryFactMustMatchToContinue) {
  const auto stored = Facts(4000, 2, "\"v1\"", "http://h/a.mp3");
  EXPECT_TRUE(Facts(4000, 2, "\"v1\"", "http://h/a.mp3").Continues(stored));
  EXPECT_FALSE(Facts(4001, 2, "\"v1\"", "http://h/a.mp3").Continues(stored));
  EXPECT_FALSE(Facts(4000, 3, "\"v1\"", "http://h/a.mp3").Continues(stored));
  EXPECT_FALSE(Facts(4000, 2, "", "http://h/a.mp3").Continues(stored));
  EXPECT_FALSE(Facts(4000, 2, "\"v1\"", "http://other/a.mp3").Continues(stored));
  EXPECT_FALSE(Facts(4000, 2, "\"v1\"", "http://h/a.mp3?x").Continues(stored));
}

TEST(Sidecar, CredentialsNeverReachTheFile) {
  EXPECT_EQ(AddressWithoutCredentials("http://u:p@h:81/a.mp3"), "http://h:81/a.mp3");
  EXPECT_EQ(AddressWithoutCredentials("http://u@h/a.mp3?k=v@x"), "http://h/a.mp3?k=v@x");
  EXPECT_EQ(AddressWithoutCredentials("http://u:p@w@h"), "http://h");
  EXPECT_EQ(AddressWithoutCredentials("http://h/a@b.mp3"), "http://h/a@b.mp3");
  EXPECT_EQ(AddressWithoutCredentials("//u@h/x"), "//h/x");
  EXPECT_EQ(AddressWithoutCredentials("a@b"), "a@b");
}

}  // namespace

namespace {

TEST(SidecarRanges, EveryBlockFilesRangeReadsBackAfterTheOtherLines) {
  CSidecar s = Facts(1000, 2, "\"v\"", "http://h/a.mp3");
  s.m_ranges = {{0, 0, 399}, {2, 400, 499}, {1, 500, 999}};
  const std::string text = s.Text();
  EXPECT_NE(text.find("url=http://h/a.mp3\nrange=0 0 399\nrange=2 400 499\nrange=1 500 999\n"),
            std::string::npos)
      << text;
  auto back = CSidecar::Parse(text);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->m_ranges.size(), 3u);
  EXPECT_EQ(back->m_ranges[1].m_nBlock, 2);
  EXPECT_EQ(back->m_ranges[1].m_nFirst, 400);
  EXPECT_EQ(back->m_ranges[1].m_nLast, 499);
  // Without range lines: a record from before splitting.
  EXPECT_TRUE(CSidecar::Parse("length=10\nblocks=2\nvalidator=\n")->m_ranges.empty());
}

TEST(SidecarRanges, DamagedRangeLinesRefuseTheWholeRecord) {
  const std::string head = "length=1000\nblocks=2\nvalidator=\nurl=\n";
  for (const char* bad : {"range=0 0\n", "range=0 0 999 5\n", "range=0  0 999\n", "range=-1 0 999\n",
                          "range=0 0 x\n", "range=0 0 99999999999999999999999\n", "range=\n"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(CSidecar::Parse(head + bad));
  }
  EXPECT_TRUE(CSidecar::Parse(head + "range=0 0 999\n"));
}

}  // namespace
