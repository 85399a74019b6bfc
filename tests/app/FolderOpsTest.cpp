#include "app/FolderOps.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/Gbk.h"

namespace fs = std::filesystem;

namespace {

class FolderOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "folderops-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(m_root, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto& p : fs::recursive_directory_iterator(m_root, fs::directory_options::skip_permission_denied, ec))
      fs::permissions(p.path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow, ec);
    fs::remove_all(m_root, ec);
  }
  std::string Path(const std::string& rel) const { return m_root + "/" + rel; }
  void WriteFile(const std::string& rel, size_t bytes, char fill = 'x') {
    std::ofstream out(Path(rel), std::ios::binary);
    out << std::string(bytes, fill);
  }
  std::string ReadFile(const std::string& rel) {
    std::ifstream in(Path(rel), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string m_root;
};

TEST(SongNames, ListedExtensionsIgnoreCase) {
  for (const char* name : {"SONG.MP3", "song.Mp3", "a.rm", "clip.swf", "x.WMA", "a.b.mp3"})
    EXPECT_TRUE(IsSongFileName(name)) << name;
  for (const char* name : {"song.mp3.txt", "readme", "song.ogg", "mp3", ".mp3x", "a.rmvb", "song."})
    EXPECT_FALSE(IsSongFileName(name)) << name;
}

TEST(SongNames, SizeInWholeKilobytes) {
  EXPECT_EQ(FormatSizeKB(1536000), "1,500KB");
  EXPECT_EQ(FormatSizeKB(1023), "0KB");
  EXPECT_EQ(FormatSizeKB(1048576000), "1,024,000KB");
  EXPECT_EQ(FormatSizeKB(int64_t{6} * 1024 * 1024 * 1024), "6,291,456KB");
}

TEST(FolderNames, TrimBlanksAtBothEnds) {
  EXPECT_EQ(TrimFolderName("  abc \t"), "abc");
  EXPECT_EQ(TrimFolderName("   "), "");
  EXPECT_EQ(TrimFolderName("a b"), "a b");
  // Full-width blanks go too, but a two-byte character whose second byte
  // looks like a blank stays whole.
  EXPECT_EQ(TrimFolderName(Utf8ToGbk("\u3000歌\u3000")), Utf8ToGbk("歌"));
  std::string tricky = "\xB0\x20";  // lead byte + blank-like trail
  EXPECT_EQ(TrimFolderName(tricky + " "), tricky);
}

TEST(FolderNames, NamesThatCouldLeaveTheFolderAreRefused) {
  EXPECT_TRUE(IsUsableFolderName("abc"));
  EXPECT_TRUE(IsUsableFolderName(Utf8ToGbk("我的歌")));
  EXPECT_TRUE(IsUsableFolderName("..."));
  EXPECT_FALSE(IsUsableFolderName(""));
  EXPECT_FALSE(IsUsableFolderName("."));
  EXPECT_FALSE(IsUsableFolderName(".."));
  EXPECT_FALSE(IsUsableFolderName("a/b"));
  EXPECT_FALSE(IsUsableFolderName("../x"));
  EXPECT_FALSE(IsUsableFolderName(std::string("a\0b", 3)));
  EXPECT_FALSE(IsUsableFolderName("\xFF\xFF"));
}

TEST_F(FolderOpsTest, ListsOnlySongFilesWithTheirLengths) {
  WriteFile("SONG.MP3", 1536000);
  WriteFile("song.Mp3", 10);
  WriteFile("a.rm", 0);
  WriteFile("clip.swf", 1023);
  WriteFile("song.mp3.txt", 5);
  WriteFile("readme", 5);
  WriteFile("song.ogg", 5);
  fs::create_directory(Path("dir.mp3"));
  auto songs = ListSongFiles(m_root);
  std::vector<std::string> names;
  for (auto& s : songs) names.push_back(s.m_strName);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"SONG.MP3", "a.rm", "clip.swf", "song.Mp3"}));
  for (auto& s : songs) {
    if (s.m_strName == "SONG.MP3") {
      EXPECT_EQ(s.m_nLength, 1536000);
    }
  }
  EXPECT_TRUE(ListSongFiles(Path("missing")).empty());
}

TEST_F(FolderOpsTest, UnreadableSongHasLengthZero) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  WriteFile("locked.mp3", 4096);
  chmod(Path("locked.mp3").c_str(), 0);
  auto songs = ListSongFiles(m_root);
  ASSERT_EQ(songs.size(), 1u);
  EXPECT_EQ(songs[0].m_nLength, 0);
}

TEST_F(FolderOpsTest, SubFoldersSkipFilesAndLinks) {
  fs::create_directories(Path("A/B"));
  fs::create_directory(Path("C"));
  WriteFile("file.mp3", 1);
  fs::create_directory_symlink(m_root, Path("loop"));
  auto names = ListSubFolders(m_root);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(ListSubFolders(Path("A")), std::vector<std::string>{"B"});
  EXPECT_TRUE(ListSubFolders(Path("nothing")).empty());
}

TEST_F(FolderOpsTest, CreateRenameRemove) {
  EXPECT_TRUE(MakeFolder(Path("new")));
  EXPECT_FALSE(MakeFolder(Path("new")));
  EXPECT_FALSE(MakeFolder(Path("missing/new")));
  fs::create_directory(Path("taken"));
  EXPECT_FALSE(RenameFolder(Path("new"), Path("taken")));  // an empty dir is not replaced
  EXPECT_TRUE(fs::is_directory(Path("new")));
  EXPECT_TRUE(RenameFolder(Path("new"), Path("renamed")));
  EXPECT_TRUE(fs::is_directory(Path("renamed")));
  EXPECT_FALSE(fs::exists(Path("new")));
  WriteFile("renamed/x.mp3", 1);
  EXPECT_FALSE(RemoveEmptyFolder(Path("renamed")));
  EXPECT_TRUE(RemoveEmptyFolder(Path("taken")));
}

TEST_F(FolderOpsTest, DeleteTreeRemovesEverything) {
  fs::create_directories(Path("top/sub/deeper"));
  WriteFile("top/a.mp3", 10);
  WriteFile("top/notes.txt", 10);
  WriteFile("top/sub/deeper/b.wma", 10);
  int failures = 0;
  EXPECT_TRUE(DeleteFolderTree(Path("top"), [&] { ++failures; }));
  EXPECT_EQ(failures, 0);
  EXPECT_FALSE(fs::exists(Path("top")));
}

TEST_F(FolderOpsTest, DeleteTreeRemovesLinksWithoutFollowingThem) {
  fs::create_directories(Path("keep"));
  WriteFile("keep/precious.mp3", 10);
  fs::create_directories(Path("top"));
  fs::create_directory_symlink(Path("keep"), Path("top/link"));
  fs::create_symlink(Path("keep/precious.mp3"), Path("top/file-link.mp3"));
  fs::create_directory_symlink(Path("top"), Path("top/loop"));
  EXPECT_TRUE(DeleteFolderTree(Path("top"), nullptr));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("top"))));
  EXPECT_EQ(ReadFile("keep/precious.mp3"), std::string(10, 'x'));
}

TEST_F(FolderOpsTest, DeleteTreeReportsEachLevelThatStays) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  fs::create_directories(Path("top/sub"));
  WriteFile("top/sub/stuck.mp3", 1);
  WriteFile("top/gone.mp3", 1);
  chmod(Path("top/sub").c_str(), 0555);  // its file cannot be unlinked
  int failures = 0;
  EXPECT_FALSE(DeleteFolderTree(Path("top"), [&] { ++failures; }));
  EXPECT_EQ(failures, 2);  // "sub" and "top" both stay
  EXPECT_FALSE(fs::exists(Path("top/gone.mp3")));
  EXPECT_TRUE(fs::exists(Path("top/sub/stuck.mp3")));
}

TEST_F(FolderOpsTest, DeleteTreeOfSomethingElseFailsOnceAndTouchesNothing) {
  fs::create_directories(Path("real"));
  WriteFile("real/keep.mp3", 3);
  fs::create_directory_symlink(Path("real"), Path("link"));
  WriteFile("file.mp3", 3);
  for (const char* what : {"link", "file.mp3", "missing"}) {
    int failures = 0;
    EXPECT_FALSE(DeleteFolderTree(Path(what), [&] { ++failures; })) << what;
    EXPECT_EQ(failures, 1) << what;
  }
  EXPECT_EQ(ReadFile("real/keep.mp3"), "xxx");
  EXPECT_TRUE(fs::is_symlink(Path("link")));
  EXPECT_TRUE(fs::exists(Path("file.mp3")));
}

TEST_F(FolderOpsTest, MoveReplacesTargetButNeverItself) {
  fs::create_directories(Path("from"));
  fs::create_directories(Path("to"));
  WriteFile("from/s.mp3", 5, 'n');
  WriteFile("to/s.mp3", 9, 'o');
  EXPECT_TRUE(MoveSongFile(Path("from/s.mp3"), Path("to/s.mp3")));
  EXPECT_EQ(ReadFile("to/s.mp3"), "nnnnn");
  EXPECT_FALSE(fs::exists(Path("from/s.mp3")));

  // Same source and target: the song must survive.
  EXPECT_FALSE(MoveSongFile(Path("to/s.mp3"), Path("to/s.mp3")));
  EXPECT_FALSE(MoveSongFile(Path("to/s.mp3"), Path("to/../to/s.mp3")));
  EXPECT_EQ(ReadFile("to/s.mp3"), "nnnnn");
}

TEST_F(FolderOpsTest, FailedMoveKeepsTheSource) {
  WriteFile("s.mp3", 5);
  EXPECT_FALSE(MoveSongFile(Path("s.mp3"), Path("no-such-dir/s.mp3")));
  EXPECT_TRUE(fs::exists(Path("s.mp3")));
  fs::create_directories(Path("to/s.mp3"));  // a directory in the way
  EXPECT_FALSE(MoveSongFile(Path("s.mp3"), Path("to/s.mp3")));
  EXPECT_TRUE(fs::exists(Path("s.mp3")));
  EXPECT_FALSE(MoveSongFile(Path("gone.mp3"), Path("to/gone.mp3")));
}

TEST_F(FolderOpsTest, DeleteSong) {
  WriteFile("s.mp3", 1);
  EXPECT_TRUE(DeleteSongFile(Path("s.mp3")));
  EXPECT_FALSE(DeleteSongFile(Path("s.mp3")));
}

}  // namespace
