// The facts kept beside block files: read back exactly, refused when damaged,
// and matched so that no job continues bytes written for another file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/job/Sidecar.h"
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
  const std::string target = "/somewhere/else/a.mp3";
  const std::string path = CSidecar::PathFor(target);
  EXPECT_EQ(path, home.temp() + "a.mp3.job.hpt");
  ASSERT_TRUE(vtest::WriteFile(path, "old and longer text that must not survive\n"));
  ASSERT_EQ(Facts(4000, 3, "\"v1\"", "http://h:81/a.mp3").WriteFor(target), 0);
  auto back = CSidecar::Read(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->m_nLength, 4000);
  EXPECT_EQ(back->m_nBlocks, 3);
  EXPECT_EQ(back->m_strValidator, "\"v1\"");
  EXPECT_EQ(back->m_strURL, "http://h:81/a.mp3");
  EXPECT_NE(access(CSidecar::ScratchPathFor(target).c_str(), F_OK), 0);
  EXPECT_FALSE(CSidecar::Read(home.temp() + "missing.hpt"));
}

TEST(SidecarNames, NoRecordOrScratchNameIsEverAnotherTargetsBlock) {
  vtest::TempHome home;
  // Block k of "x" is "x-<k>.hpt"; every other file of a target ends so
  // that no "<other>-<k>.hpt" can be it.
  for (const char* target : {"x", "x-1", "show-2024-01", "a.mp3"}) {
    for (const std::string& path : {CSidecar::PathFor(target), CSidecar::ScratchPathFor(target)}) {
      const std::string name = path.substr(home.temp().size());
      ASSERT_GE(name.size(), 4u);
      const std::string stem = name.substr(0, name.size() - 4);
      EXPECT_EQ(name.substr(name.size() - 4), ".hpt") << name << ": the \"*.hpt\" removals take it";
      const size_t dash = stem.rfind('-');
      const bool looksLikeBlock = dash != std::string::npos && dash + 1 < stem.size() &&
                                  stem.find_first_not_of("0123456789", dash + 1) == std::string::npos;
      EXPECT_FALSE(looksLikeBlock) << name;
    }
  }
}

TEST(SidecarNames, OldNamedRecordIsTakenOnlyWhenItIsOneAndNoNewOneExists) {
  vtest::TempHome home;
  const auto facts = Facts(4000, 2, "\"v1\"", "http://h/x-1");
  const std::string old = CSidecar::OldPathFor("x-1");
  ASSERT_EQ(old, home.temp() + "x-1.hpt");

  // Bytes of another target's block under that name are left alone.
  ASSERT_TRUE(vtest::WriteFile(old, std::string("ID3\x03\0\0\0\0\0\0audio", 15)));
  EXPECT_FALSE(CSidecar::IsRecordFile(old));
  EXPECT_FALSE(CSidecar::Load("x-1"));
  CSidecar::RemoveFor("x-1");
  EXPECT_EQ(vtest::ReadFile(old).size(), 15u);

  // A record there is moved under the new name.
  ASSERT_TRUE(vtest::WriteFile(old, facts.Text()));
  auto loaded = CSidecar::Load("x-1");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->m_strURL, "http://h/x-1");
  EXPECT_NE(access(old.c_str(), F_OK), 0);
  EXPECT_EQ(vtest::ReadFile(CSidecar::PathFor("x-1")), facts.Text());

  // With a new one present the old name is not looked at, even when the
  // new one is damaged.
  ASSERT_TRUE(vtest::WriteFile(old, Facts(9, 1, "", "").Text()));
  EXPECT_EQ(CSidecar::Load("x-1")->m_nLength, 4000);
  ASSERT_TRUE(vtest::WriteFile(CSidecar::PathFor("x-1"), "length=4000\n"));
  EXPECT_FALSE(CSidecar::Load("x-1"));
  EXPECT_TRUE(CSidecar::IsRecordFile(old));

  // Removal takes the record, the old-named one and every scratch file.
  ASSERT_TRUE(vtest::WriteFile(CSidecar::ScratchPathFor("x-1"), "length="));
  ASSERT_TRUE(vtest::WriteFile(CSidecar::OldScratchPathFor("x-1"), "length="));
  CSidecar::RemoveFor("x-1");
  for (const std::string& p : {CSidecar::PathFor("x-1"), old, CSidecar::ScratchPathFor("x-1"),
                               CSidecar::OldScratchPathFor("x-1")})
    EXPECT_NE(access(p.c_str(), F_OK), 0) << p;
}

TEST(SidecarNames, AFailedWriteSaysWhy) {
  vtest::TempHome home;
  ASSERT_EQ(mkdir(CSidecar::ScratchPathFor("a.mp3").c_str(), 0700), 0);
  EXPECT_EQ(Facts(10, 1, "", "").WriteFor("a.mp3"), EISDIR);
  EXPECT_NE(access(CSidecar::PathFor("a.mp3").c_str(), F_OK), 0);
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
