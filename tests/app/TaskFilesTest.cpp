// Which files belong to a task, and their removal: found by the shape of
// their names, never by a pattern built from the song name.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "app/TaskFiles.h"
#include "engine/job/TargetLock.h"
#include "engine/Gbk.h"
#include "tests/support/TempHome.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(TaskFilesTest, KindsFollowTheNameStructure) {
  EXPECT_EQ(ClassifyTaskFile("a.mp3-0.hpt", "a"), TaskFileKind::kBlock);
  EXPECT_EQ(ClassifyTaskFile("a.mp3-12.hpt", "a"), TaskFileKind::kBlock);
  // The record, its scratch file, and both under the names older copies used.
  for (const char* record : {"a.MP3.job.hpt", "a.mp3.job.tmp.hpt", "a.MP3.hpt", "a.mp3.hpt.tmp", "a.mp3.job.part.hpt"})
    EXPECT_EQ(ClassifyTaskFile(record, "a"), TaskFileKind::kSidecar) << record;
  EXPECT_EQ(ClassifyTaskFile("a.mp3.part", "a"), TaskFileKind::kPart);
  EXPECT_EQ(ClassifyTaskFile("a.MP3.lock", "a"), TaskFileKind::kLock);
  // Another task's files, or names that only look alike.
  for (const char* other : {"ab.mp3-0.hpt", "a.b.mp3-0.hpt", "a.mp3-.hpt", "a.mp3-1x.hpt", "a.-0.hpt", "a.hpt",
                            "a.mp3", "a.lock", "a.b.mp3.lock", "a.mp3-0.lock", "ab.mp3.lock",
                            "a.mp3-0.job.hpt", "a.b.mp3.job.hpt", "a.mp3.tmp.hpt", "a.mp3.job.tmp", "a.b.mp3.job.part.hpt",
                            "a.mp3.part.hpt"})
    EXPECT_EQ(ClassifyTaskFile(other, "a"), TaskFileKind::kNone) << other;
  EXPECT_EQ(ClassifyTaskFile("a.mp3-0.hpt", ""), TaskFileKind::kNone);
}

TEST(TaskFilesTest, TargetNamesAreTheSongNameMadeSafe) {
  EXPECT_EQ(TaskTargetNames("x/y"), std::vector<std::string>{"x_y"});
  EXPECT_TRUE(TaskTargetNames("..").empty());
  EXPECT_TRUE(TaskTargetNames(".").empty());
  EXPECT_EQ(TaskTargetNames(Utf8ToGbk("歌")).front(), std::string("歌"));
}

TEST(TaskFilesTest, DeletionTakesEveryFileOfTheTaskAndSparesKeptOnes) {
  vtest::TempHome home;
  const std::string t = home.temp();
  const std::string d = home.downloads() + "/";
  for (const char* f : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3.hpt", "a.mp3.lock", "ab.mp3.lock", "x_y.mp3-0.hpt",
                        "x_y.mp3.lock", "a.mp3.job.hpt", "a.mp3.job.tmp.hpt", "a.mp3.hpt.tmp", "a.mp3.job.part.hpt"})
    ASSERT_TRUE(vtest::WriteFile(t + f, "x"));
  ASSERT_TRUE(vtest::WriteFile(d + "a.mp3.part", "x"));
  ASSERT_TRUE(vtest::WriteFile(d + "a.mp3", "song"));
  ASSERT_TRUE(vtest::WriteFile(t + "a.mp3.part", "x"));  // a ".part" belongs to the download folder

  DeleteTaskFiles({"a"}, {});
  for (const char* f : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3.hpt", "a.mp3.lock", "a.mp3.job.hpt",
                        "a.mp3.job.tmp.hpt", "a.mp3.hpt.tmp", "a.mp3.job.part.hpt"})
    EXPECT_FALSE(Exists(t + f)) << f;
  EXPECT_FALSE(Exists(d + "a.mp3.part"));
  EXPECT_TRUE(Exists(d + "a.mp3")) << "the finished song stays";
  EXPECT_TRUE(Exists(t + "a.mp3.part"));
  EXPECT_TRUE(Exists(t + "ab.mp3.lock"));

  // "x/y" and "x_y" make the same file name; removing one must not take
  // the other's blocks or its lock while a job of it holds that.
  CTargetLock running(t + "x_y.mp3.lock");
  ASSERT_EQ(running.TryLock(), CTargetLock::Result::kLocked);
  DeleteTaskFiles({"x/y"}, {"x_y"});
  EXPECT_TRUE(Exists(t + "x_y.mp3-0.hpt"));
  EXPECT_TRUE(Exists(t + "x_y.mp3.lock"));
  EXPECT_TRUE(running.Held());
  running.Unlock();
  DeleteTaskFilesIn(t, d, {"x/y"}, {});
  EXPECT_FALSE(Exists(t + "x_y.mp3-0.hpt"));
  EXPECT_FALSE(Exists(t + "x_y.mp3.lock"));
}

TEST(TaskFilesTest, OnlyRegularFilesAreDeleted) {
  vtest::TempHome home;
  const std::string t = home.temp();
  ASSERT_EQ(::mkdir((t + "a.mp3-0.hpt").c_str(), 0700), 0);
  ASSERT_TRUE(vtest::WriteFile(home.root() + "/outside", "keep"));
  ASSERT_EQ(::symlink((home.root() + "/outside").c_str(), (t + "a.mp3.lock").c_str()), 0);
  DeleteTaskFiles({"a"}, {});
  EXPECT_TRUE(Exists(t + "a.mp3-0.hpt"));
  EXPECT_TRUE(Exists(t + "a.mp3.lock"));
  EXPECT_EQ(vtest::ReadFile(home.root() + "/outside"), "keep");
}

TEST(TaskFilesTest, FilesOfANameAnotherJobHoldsStay) {
  vtest::TempHome home;
  const std::string t = home.temp();
  const std::string d = home.downloads() + "/";
  for (const char* f : {"a.mp3-0.hpt", "a.mp3.hpt", "b.mp3-0.hpt"}) ASSERT_TRUE(vtest::WriteFile(t + f, "x"));
  ASSERT_TRUE(vtest::WriteFile(d + "a.mp3.part", "x"));
  // Another descriptor stands for the other process: flock tells them apart.
  CTargetLock other(t + "a.mp3.lock");
  ASSERT_EQ(other.TryLock(), CTargetLock::Result::kLocked);
  CTargetLock idle(t + "b.mp3.lock");
  ASSERT_EQ(idle.TryLock(), CTargetLock::Result::kLocked);
  idle.Unlock();

  DeleteTaskFiles({"a", "b"}, {});
  for (const char* f : {"a.mp3-0.hpt", "a.mp3.hpt", "a.mp3.lock"}) EXPECT_TRUE(Exists(t + f)) << f;
  EXPECT_TRUE(Exists(d + "a.mp3.part"));
  EXPECT_FALSE(Exists(t + "b.mp3-0.hpt"));
  EXPECT_FALSE(Exists(t + "b.mp3.lock"));

  other.Unlock();
  DeleteTaskFiles({"a"}, {});
  for (const char* f : {"a.mp3-0.hpt", "a.mp3.hpt", "a.mp3.lock"}) EXPECT_FALSE(Exists(t + f)) << f;
  EXPECT_FALSE(Exists(d + "a.mp3.part"));
}

TEST(TaskFilesTest, AJobThatTakesItsLockWhileTheFolderIsReadKeepsItsFiles) {
  vtest::TempHome home;
  const std::string t = home.temp();
  const std::string d = home.downloads() + "/";
  // Block files of an earlier run, with no lock file yet: another copy of
  // the program is just starting to continue them.
  for (const char* f : {"a.mp3-0.hpt", "a.mp3.hpt", "b.mp3-0.hpt"}) ASSERT_TRUE(vtest::WriteFile(t + f, "x"));
  ASSERT_TRUE(vtest::WriteFile(d + "c.mp3.part", "x"));
  CTargetLock other(t + "a.mp3.lock");
  CTargetLock merging(t + "c.mp3.lock");
  DeleteTaskFilesIn(t, d, {"a", "b", "c"}, {}, [&] {
    ASSERT_EQ(other.TryLock(), CTargetLock::Result::kLocked);
    ASSERT_EQ(merging.TryLock(), CTargetLock::Result::kLocked);
  });
  for (const char* f : {"a.mp3-0.hpt", "a.mp3.hpt", "a.mp3.lock"}) EXPECT_TRUE(Exists(t + f)) << f;
  EXPECT_TRUE(Exists(d + "c.mp3.part"));
  EXPECT_FALSE(Exists(t + "b.mp3-0.hpt"));
  EXPECT_FALSE(Exists(t + "b.mp3.lock")) << "a lock made for the deletion goes with it";
}

TEST(TaskFilesTest, AJobThatStartsOnANameWithNoFilesDuringTheRemovalKeepsAllItsFiles) {
  vtest::TempHome home;
  const std::string t = home.temp();
  const std::string d = home.downloads() + "/";
  ASSERT_TRUE(vtest::WriteFile(t + "a.mp3-0.hpt", "x"));
  // The same task's other file type had nothing when the folders were read;
  // a job starts on it before the deletion.
  CTargetLock starting(t + "a.wma.lock");
  DeleteTaskFilesIn(t, d, {"a"}, {}, [&] {
    ASSERT_EQ(starting.TryLock(), CTargetLock::Result::kLocked);
    for (const char* f : {"a.wma.job.hpt", "a.wma-0.hpt"}) ASSERT_TRUE(vtest::WriteFile(t + f, "x"));
    ASSERT_TRUE(vtest::WriteFile(d + "a.wma.part", "x"));
  });
  for (const char* f : {"a.wma.lock", "a.wma.job.hpt", "a.wma-0.hpt"}) EXPECT_TRUE(Exists(t + f)) << f;
  EXPECT_TRUE(Exists(d + "a.wma.part"));
  EXPECT_FALSE(Exists(t + "a.mp3-0.hpt"));
}

}  // namespace
