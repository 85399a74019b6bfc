// The song list's delete: songs go to the user's trash where a file manager
// can restore them, by their bytes, and are deleted only without any trash.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/FolderOps.h"
#include "app/TrashCan.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;

class TrashCanTest : public ::testing::Test {
 protected:
  std::string Song(const std::string& name, const std::string& body = "song") {
    const std::string path = home.downloads() + "/" + name;
    EXPECT_TRUE(vtest::WriteFile(path, body));
    return path;
  }
  std::string Trash() const { return home.data() + "/Trash"; }
  vtest::TempHome home;
};

TEST_F(TrashCanTest, SongGoesToTheTrashWithWhereItCameFrom) {
  const std::string path = Song("歌 1.mp3", "abc");
  ASSERT_EQ(TrashCan::HomeTrash(), Trash());
  EXPECT_TRUE(DiscardSongFile(path));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(vtest::ReadFile(Trash() + "/files/歌 1.mp3"), "abc");
  const std::string info = vtest::ReadFile(Trash() + "/info/歌 1.mp3.trashinfo");
  // The path percent-encoded byte for byte; the date in local time.
  const std::string encodedDir = "/%E5%B7%B2%E4%B8%8B%E8%BD%BD/";
  EXPECT_EQ(info.rfind("[Trash Info]\nPath=", 0), 0u) << info;
  EXPECT_NE(info.find(encodedDir + "%E6%AD%8C%201.mp3\n"), std::string::npos) << info;
  EXPECT_NE(info.find("\nDeletionDate=20"), std::string::npos) << info;
  EXPECT_EQ(info.find("DeletionDate=\n"), std::string::npos) << info;
}

TEST_F(TrashCanTest, SameNameTwiceKeepsBothAndNamesThatAreNotUtf8KeepTheirBytes) {
  EXPECT_TRUE(DiscardSongFile(Song("a.mp3", "first")));
  EXPECT_TRUE(DiscardSongFile(Song("a.mp3", "second")));
  EXPECT_EQ(vtest::ReadFile(Trash() + "/files/a.mp3"), "first");
  EXPECT_EQ(vtest::ReadFile(Trash() + "/files/a.2.mp3"), "second");
  EXPECT_NE(vtest::ReadFile(Trash() + "/info/a.2.mp3.trashinfo").find("/a.mp3\n"), std::string::npos);

  const std::string gbk = "\xB8\xE8.mp3";
  EXPECT_TRUE(DiscardSongFile(Song(gbk, "gbk")));
  EXPECT_EQ(vtest::ReadFile(Trash() + "/files/" + gbk), "gbk");
  EXPECT_NE(vtest::ReadFile(Trash() + "/info/" + gbk + ".trashinfo").find("/%B8%E8.mp3\n"), std::string::npos);
}

TEST_F(TrashCanTest, WithoutAUsableTrashTheSongIsDeleted) {
  // A file where the data folder should be: no trash can be made there.
  ASSERT_TRUE(vtest::WriteFile(home.data(), "not a folder"));
  const std::string path = Song("a.mp3");
  EXPECT_EQ(TrashCan::MoveToTrash(path), TrashCan::Result::kNoTrash);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_TRUE(DiscardSongFile(path));
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(TrashCanTest, VanishedSongIsGoneAndAFolderInItsPlaceIsNeverTaken) {
  EXPECT_TRUE(DiscardSongFile(home.downloads() + "/never.mp3"));
  EXPECT_EQ(TrashCan::MoveToTrash(home.downloads() + "/never.mp3"), TrashCan::Result::kFailed);
  const std::string folder = home.downloads() + "/x.mp3";
  fs::create_directories(folder + "/inside");
  EXPECT_FALSE(DiscardSongFile(folder));
  EXPECT_TRUE(fs::exists(folder + "/inside"));
  EXPECT_FALSE(fs::exists(Trash() + "/files/x.mp3"));
}

}  // namespace
