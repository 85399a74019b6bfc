#include "engine/Common.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "tests/support/TempHome.h"

namespace {

TEST(AppDirectory, ComesFromTheEnvironmentWithoutTrailingSlash) {
  vtest::TempHome th;
  EXPECT_EQ(GetAppDirectory(), th.home());
  setenv("VIRELOMP3_HOME", (th.home() + "//").c_str(), 1);
  EXPECT_EQ(GetAppDirectory(), th.home());
  EXPECT_EQ(GetIniFilePath(), th.home() + "/MP3.ini");
}

TEST(AppDirectory, FallsBackToTheExecutablesDirectory) {
  vtest::TempHome th;
  unsetenv("VIRELOMP3_HOME");
  std::string dir = GetAppDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_TRUE(IsFileExist(dir + "/engine_CommonTest"));
}

TEST(FileHelpers, LengthAndExistence) {
  vtest::TempHome th;
  std::string missing = th.temp() + "missing.bin";
  std::string empty = th.temp() + "empty.bin";
  std::string five = th.temp() + "five.bin";
  ASSERT_TRUE(vtest::WriteFile(empty, ""));
  ASSERT_TRUE(vtest::WriteFile(five, "12345"));

  EXPECT_EQ(GetFileLength(missing), 0);
  EXPECT_EQ(GetFileLength(empty), 0);
  EXPECT_EQ(GetFileLength(five), 5);
  EXPECT_EQ(GetFileLength(th.home()), 0) << "a directory has no length";

  EXPECT_FALSE(IsFileExist(missing));
  EXPECT_TRUE(IsFileExist(empty));
  EXPECT_FALSE(IsFileExist(th.home()));
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(five.c_str(), 0), 0);
    EXPECT_FALSE(IsFileExist(five)) << "an unreadable file counts as absent";
    EXPECT_EQ(GetFileLength(five), 0);
  }
}

TEST(FileHelpers, LengthKeepsTheLow32Bits) {
  vtest::TempHome th;
  std::string big = th.temp() + "sparse.bin";
  int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  bool sized = ftruncate(fd, (1LL << 32) + 7) == 0;
  close(fd);
  if (!sized) GTEST_SKIP() << "no sparse files here";
  EXPECT_EQ(GetFileLength(big), 7);
}

TEST(PathFileName, TakesTextAfterLastSlash) {
  EXPECT_EQ(GetPathFileName("/home/u/已下载/a.mp3"), "a.mp3");
  EXPECT_EQ(GetPathFileName("a.mp3"), "a.mp3");
  EXPECT_EQ(GetPathFileName("dir/"), "");
  EXPECT_EQ(GetPathFileName(""), "");
  EXPECT_EQ(GetPathFileName("/x"), "x");
}

TEST(PathFolder, TakesTextBeforeLastSlash) {
  EXPECT_EQ(GetPathFolder("/home/u/已下载/a.mp3"), "/home/u/已下载");
  EXPECT_EQ(GetPathFolder("/a.mp3"), "/");
  EXPECT_EQ(GetPathFolder("a.mp3"), ".");
  EXPECT_EQ(GetPathFolder("out/"), "out");
}

TEST(ThousandSeparators, GroupsOfThreeFromTheRight) {
  auto sep = [](std::string s) {
    InsertThousandSeparators(s);
    return s;
  };
  EXPECT_EQ(sep(""), "");
  EXPECT_EQ(sep("7"), "7");
  EXPECT_EQ(sep("123"), "123");
  EXPECT_EQ(sep("1234"), "1,234");
  EXPECT_EQ(sep("123456"), "123,456");
  EXPECT_EQ(sep("1234567"), "1,234,567");
}

TEST(MinutesSeconds, KeepsWholeHoursInTheMinutes) {
  EXPECT_EQ(FormatMinutesSeconds(0), "0m:0s");
  EXPECT_EQ(FormatMinutesSeconds(59), "0m:59s");
  EXPECT_EQ(FormatMinutesSeconds(60), "1m:0s");
  EXPECT_EQ(FormatMinutesSeconds(3600), "60m:0s");
  EXPECT_EQ(FormatMinutesSeconds(3725), "62m:5s");
  EXPECT_EQ(FormatMinutesSeconds(-61), "-1m:-1s");
  EXPECT_EQ(FormatMinutesSeconds(INT_MAX), "35791394m:7s");
  EXPECT_EQ(FormatMinutesSeconds(INT_MIN), "-35791394m:-8s");
}

}  // namespace
