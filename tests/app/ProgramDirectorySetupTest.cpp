// Where the program keeps its files: the installed layout against the build
// tree and dist/, the per-user folder, and seeding it from the data folder
// without losing what the user changed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include "app/IniFile.h"
#include "app/ProgramDirectorySetup.h"
#include "app/SeedRecord.h"
#include "task/Md5.h"
#include "engine/Common.h"
#include "engine/ProgramDirectory.h"
#include "tests/support/EnvVar.h"
#include "tests/support/TempHome.h"

namespace fs = std::filesystem;

namespace {

// Sets (or with nullopt unsets) one environment variable for a scope.
using vtest::EnvVar;

class ProgramDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix = th.root() + "/usr";
    bin = prefix + "/bin";
    data = prefix + "/share/virelomp3";
    fs::create_directories(bin);
    fs::create_directories(data);
  }
  vtest::TempHome th;
  std::string prefix, bin, data;
};

TEST_F(ProgramDirectoryTest, InstalledOnlyWhenTheDataFolderHasSettingsAndTheBinFolderNone) {
  EXPECT_EQ(FindInstalledDataDirectory(bin), "") << "no MP3.ini in the data folder";
  ASSERT_TRUE(vtest::WriteFile(data + "/MP3.ini", "[Update]\r\nVersion=2.0\r\n"));
  EXPECT_EQ(FindInstalledDataDirectory(bin), data);
  EXPECT_EQ(FindInstalledDataDirectory(bin + "/"), data);
  // dist/ unpacked beside a share folder stays a program directory of its own.
  ASSERT_TRUE(vtest::WriteFile(bin + "/MP3.ini", "[Update]\r\nVersion=2.0\r\n"));
  EXPECT_EQ(FindInstalledDataDirectory(bin), "");
  EXPECT_EQ(ProgramDirectoryFor(bin), bin);
  EXPECT_EQ(FindInstalledDataDirectory(""), "");
}

TEST_F(ProgramDirectoryTest, InstalledProgramDirectoryIsTheUsersDataFolder) {
  ASSERT_TRUE(vtest::WriteFile(data + "/MP3.ini", "x"));
  {
    EnvVar xdg("XDG_DATA_HOME", th.root() + "/xdg/");
    EXPECT_EQ(GetUserProgramDirectory(), th.root() + "/xdg/virelomp3");
    EXPECT_EQ(ProgramDirectoryFor(bin), th.root() + "/xdg/virelomp3");
  }
  {
    // A relative XDG_DATA_HOME is invalid and ignored.
    EnvVar xdg("XDG_DATA_HOME", std::string("relative/data"));
    EnvVar home("HOME", th.root() + "/me");
    EXPECT_EQ(ProgramDirectoryFor(bin), th.root() + "/me/.local/share/virelomp3");
  }
  {
    EnvVar xdg("XDG_DATA_HOME", std::nullopt);
    EnvVar home("HOME", std::nullopt);
    const std::string dir = GetUserProgramDirectory();
    EXPECT_FALSE(dir.empty()) << "the account's home stands in for HOME";
    EXPECT_NE(dir.find("/.local/share/virelomp3"), std::string::npos);
  }
}

TEST_F(ProgramDirectoryTest, HomeVariableOverridesTheLayout) {
  // TempHome sets VIRELOMP3_HOME: whatever the layout, that folder it is.
  ASSERT_TRUE(vtest::WriteFile(data + "/MP3.ini", "x"));
  EXPECT_EQ(GetAppDirectory(), th.home());
  EXPECT_TRUE(PrepareProgramDirectory());
}

class SeedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data = th.root() + "/data";
    home = th.root() + "/user/.local/share/virelomp3";
    fs::create_directories(data + "/html");
    fs::create_directories(data + "/banners");
    ASSERT_TRUE(vtest::WriteFile(data + "/MP3.ini", "[Size]\r\nBlocks=3\r\n\r\n[Update]\r\nVersion=1.9\r\nURL=\r\n"));
    ASSERT_TRUE(vtest::WriteFile(data + "/Movie.ini", "[Movie]\r\nMovie1=banners/banner1.gif\r\n"));
    ASSERT_TRUE(vtest::WriteFile(data + "/html/A.htm", "page A"));
    ASSERT_TRUE(vtest::WriteFile(data + "/html/kk.htm", "news"));
    ASSERT_TRUE(vtest::WriteFile(data + "/banners/banner1.gif", "GIF89a"));
  }
  vtest::TempHome th;
  std::string data, home;
};

TEST_F(SeedTest, FirstStartCopiesTheDefaultsAndSetsTheBuildsVersion) {
  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.0"));
  EXPECT_EQ(vtest::ReadFile(home + "/Movie.ini"), vtest::ReadFile(data + "/Movie.ini"));
  EXPECT_EQ(vtest::ReadFile(home + "/html/A.htm"), "page A");
  EXPECT_EQ(vtest::ReadFile(home + "/html/kk.htm"), "news");
  EXPECT_EQ(vtest::ReadFile(home + "/banners/banner1.gif"), "GIF89a");
  EXPECT_TRUE(fs::is_directory(home + "/已下载"));
  EXPECT_EQ(IniRead(home + "/MP3.ini", "Update", "Version", "", 10), "2.0");
  EXPECT_EQ(IniRead(home + "/MP3.ini", "Size", "Blocks", "", 10), "3");
  // The shipped file is world-readable; the user's copy will hold passwords.
  struct stat st {};
  ASSERT_EQ(::stat((home + "/MP3.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The shipped file is never written.
  EXPECT_EQ(IniRead(data + "/MP3.ini", "Update", "Version", "", 10), "1.9");
  // No half-copied leftovers.
  for (const auto& e : fs::recursive_directory_iterator(home))
    EXPECT_EQ(e.path().filename().string().find(".seed."), std::string::npos) << e.path();
}

TEST_F(SeedTest, LaterStartsKeepTheUsersFilesAndRestoreMissingOnes) {
  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.0"));
  ASSERT_TRUE(IniWrite(home + "/MP3.ini", "Size", "Blocks", "5"));
  ASSERT_TRUE(vtest::WriteFile(home + "/html/A.htm", "my page"));
  fs::remove(home + "/html/kk.htm");
  const std::string before = vtest::ReadFile(home + "/MP3.ini");

  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.0"));
  EXPECT_EQ(vtest::ReadFile(home + "/MP3.ini"), before) << "same version: the file is not rewritten";
  EXPECT_EQ(vtest::ReadFile(home + "/html/A.htm"), "my page");
  EXPECT_EQ(vtest::ReadFile(home + "/html/kk.htm"), "news");

  // An upgrade changes the version key and nothing else.
  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.1"));
  EXPECT_EQ(IniRead(home + "/MP3.ini", "Update", "Version", "", 10), "2.1");
  EXPECT_EQ(IniRead(home + "/MP3.ini", "Size", "Blocks", "", 10), "5");
  std::string expected = before;
  expected.replace(expected.find("Version=2.0"), 11, "Version=2.1");
  EXPECT_EQ(vtest::ReadFile(home + "/MP3.ini"), expected);
}

// An upgrade ships new pages: the ones the user never touched follow the
// package, the user's own edits stay, and new files arrive.
TEST_F(SeedTest, UpgradeRefreshesUntouchedPagesAndKeepsChangedOnes) {
  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.0"));
  const std::string record = vtest::ReadFile(home + "/" + kSeedRecordName);
  EXPECT_NE(record.find(SeedRecord::FileMd5(data + "/html/A.htm") + " html/A.htm\n"), std::string::npos) << record;
  EXPECT_EQ(record.find("MP3.ini"), std::string::npos) << "the settings are the user's";
  ASSERT_TRUE(vtest::WriteFile(home + "/html/kk.htm", "my news"));

  ASSERT_TRUE(vtest::WriteFile(data + "/html/A.htm", "page A, 2.1"));
  ASSERT_TRUE(vtest::WriteFile(data + "/html/kk.htm", "news, 2.1"));
  ASSERT_TRUE(vtest::WriteFile(data + "/banners/banner1.gif", "GIF89a 2.1"));
  ASSERT_TRUE(vtest::WriteFile(data + "/html/B.htm", "page B"));
  ASSERT_TRUE(vtest::WriteFile(data + "/MP3.ini", "[Size]\r\nBlocks=4\r\n"));
  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.1"));
  EXPECT_EQ(vtest::ReadFile(home + "/html/A.htm"), "page A, 2.1");
  EXPECT_EQ(vtest::ReadFile(home + "/banners/banner1.gif"), "GIF89a 2.1");
  EXPECT_EQ(vtest::ReadFile(home + "/html/B.htm"), "page B");
  EXPECT_EQ(vtest::ReadFile(home + "/html/kk.htm"), "my news");
  EXPECT_EQ(IniRead(home + "/MP3.ini", "Size", "Blocks", "", 10), "3");
  for (const auto& e : fs::recursive_directory_iterator(home))
    EXPECT_EQ(e.path().filename().string().find(".seed."), std::string::npos) << e.path();

  // The next upgrade still knows which pages are the package's.
  ASSERT_TRUE(vtest::WriteFile(data + "/html/A.htm", "page A, 2.2"));
  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.2"));
  EXPECT_EQ(vtest::ReadFile(home + "/html/A.htm"), "page A, 2.2");
  EXPECT_EQ(vtest::ReadFile(home + "/html/kk.htm"), "my news");
}

// A home seeded before there was a record: a page equal to the shipped one
// is recorded and follows later upgrades; a different one is kept, since
// nothing tells an old page from the user's.
TEST_F(SeedTest, HomeFromBeforeTheRecordAdoptsOnlyPagesEqualToTheShippedOnes) {
  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.0"));
  fs::remove(home + "/" + kSeedRecordName);
  ASSERT_TRUE(vtest::WriteFile(home + "/html/kk.htm", "older news"));
  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.0"));
  ASSERT_TRUE(vtest::WriteFile(data + "/html/A.htm", "page A, 2.1"));
  ASSERT_TRUE(vtest::WriteFile(data + "/html/kk.htm", "news, 2.1"));
  ASSERT_TRUE(SeedProgramDirectory(data, home, "2.1"));
  EXPECT_EQ(vtest::ReadFile(home + "/html/A.htm"), "page A, 2.1");
  EXPECT_EQ(vtest::ReadFile(home + "/html/kk.htm"), "older news");
}

TEST(SeedRecordTest, KeepsItsLinesAndIgnoresWhatIsNotOne) {
  vtest::TempHome th;
  const std::string path = th.root() + "/record";
  EXPECT_EQ(SeedRecord::FileMd5(path), "");  // no such file
  ASSERT_TRUE(vtest::WriteFile(path, "d41d8cd98f00b204e9800998ecf8427e html/a b.htm\r\n"
                                     "not a line\nD41D8CD98F00B204E9800998ECF8427E html/upper.htm\n"
                                     "0123 html/short.htm\n"));
  SeedRecord r(path);
  EXPECT_EQ(r.Get("html/a b.htm"), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(r.Get("html/upper.htm"), "");
  EXPECT_EQ(r.Get("html/short.htm"), "");
  EXPECT_EQ(SeedRecord::FileMd5(path), Md5Hex(vtest::ReadFile(path)));
  r.Set("banners/x.gif", "0cc175b9c0f1b6a831c399e269772661");
  r.Set("bad", "nothex");
  ASSERT_TRUE(r.Save());
  SeedRecord again(path);
  EXPECT_EQ(again.Get("banners/x.gif"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(again.Get("html/a b.htm"), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(again.Get("bad"), "");
}

TEST_F(SeedTest, AFolderThatCannotBeMadeIsReported) {
  ASSERT_TRUE(vtest::WriteFile(th.root() + "/blocker", "a file where a folder should go"));
  EXPECT_FALSE(SeedProgramDirectory(data, th.root() + "/blocker/virelomp3", "2.0"));
  // A data folder without settings still gives a usable, empty home.
  EXPECT_TRUE(SeedProgramDirectory(th.root() + "/nowhere", home, "2.0"));
  EXPECT_TRUE(fs::is_directory(home + "/已下载"));
  EXPECT_FALSE(fs::exists(home + "/MP3.ini"));
}

TEST(BuildVersionTest, ComesFromTheProject) {
  // A version the updater compares as a number.
  EXPECT_GT(IniToDouble(kBuildVersion), 0.0);
}

}  // namespace
