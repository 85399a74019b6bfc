// The private temp folder: where it is, which folders and files in it are
// trusted, the places used when it is taken, and block files moved in from
// where earlier versions kept them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "engine/Common.h"
#include "engine/job/FormerTempFiles.h"
#include "engine/job/OwnFile.h"
#include "engine/job/TempFolder.h"
#include "res/Texts.h"
#include "tests/support/EnvVar.h"
#include "tests/support/TempHome.h"

namespace {

const std::string kUid = std::to_string(geteuid());

mode_t ModeOf(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Gives the file to another user when we may (root), else opens it to
// everyone: both are files someone else could have written.
void MakeForeign(const std::string& path) {
  if (geteuid() == 0)
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  else
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
}

// The private folder's place under tmpdir taken by a link to elsewhere.
void Squat(const vtest::TempHome& th, const std::string& place) {
  const std::string target = th.root() + "/elsewhere";
  mkdir(target.c_str(), 0700);
  ASSERT_EQ(symlink(target.c_str(), place.c_str()), 0);
}

TEST(TempFolder, IsAPrivateFolderUnderTmpdirMadeWhenMissing) {
  vtest::TempHome th;
  EXPECT_EQ(GetTempDirectory(), th.temp());
  ASSERT_EQ(rmdir(th.temp().c_str()), 0);
  vtest::EnvVar slashes("TMPDIR", th.tmpdir() + "//");
  EXPECT_EQ(GetTempDirectory(), th.temp()) << "made again, whatever TMPDIR ends in";
  EXPECT_EQ(ModeOf(th.temp()), 0700u);
  EXPECT_EQ(TempFolder::PrivateUnder("/tmp/"), "/tmp/virelomp3-" + kUid);
  EXPECT_EQ(TempFolder::RefusalText(), "");
}

TEST(TempFolder, RefusesWhatIsNotAFolderOfOursOnlyOurs) {
  vtest::TempHome th;
  const std::string dir = th.root() + "/d";
  ASSERT_EQ(symlink(th.temp().c_str(), dir.c_str()), 0);
  EXPECT_EQ(TempFolder::Claim(dir), txt::kTempFolderIsLink) << "even a link to our own folder";
  ASSERT_EQ(unlink(dir.c_str()), 0);
  ASSERT_TRUE(vtest::WriteFile(dir, "x"));
  EXPECT_EQ(TempFolder::Claim(dir), txt::kTempFolderNotFolder);
  ASSERT_EQ(unlink(dir.c_str()), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  EXPECT_EQ(TempFolder::Claim(dir), txt::kTempFolderOpenToOthers);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  EXPECT_EQ(TempFolder::Claim(dir), "") << "nobody else could have put files in";
  EXPECT_EQ(ModeOf(dir), 0700u) << "and now nobody else reads them";
  EXPECT_NE(TempFolder::Claim(th.root() + "/no/such/base"), "");
  if (geteuid() != 0) GTEST_SKIP() << "a folder of another user needs root to make";
  ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
  EXPECT_EQ(TempFolder::Claim(dir), txt::kTempFolderOtherOwner);
}

TEST(TempFolder, TakenPlaceFallsBackToRuntimeThenCacheThenSaysWhy) {
  vtest::TempHome th;
  ASSERT_EQ(rmdir(th.temp().c_str()), 0);
  const std::string first = th.tmpdir() + "virelomp3-" + kUid;
  if (geteuid() == 0) {
    ASSERT_EQ(mkdir(first.c_str(), 0700), 0);
    ASSERT_EQ(chown(first.c_str(), 65534, 65534), 0);
  } else {
    Squat(th, first);
  }
  const std::string runtime = th.root() + "/run";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  vtest::EnvVar run("XDG_RUNTIME_DIR", runtime);
  const std::string home = th.root() + "/user";
  vtest::EnvVar user("HOME", home);
  EXPECT_EQ(GetTempDirectory(), runtime + "/virelomp3/");
  EXPECT_EQ(ModeOf(runtime + "/virelomp3"), 0700u);

  ASSERT_EQ(rmdir((runtime + "/virelomp3").c_str()), 0);
  Squat(th, runtime + "/virelomp3");
  EXPECT_EQ(GetTempDirectory(), home + "/.cache/virelomp3/tmp/") << "made with its parents";
  EXPECT_EQ(ModeOf(home + "/.cache/virelomp3/tmp"), 0700u);

  vtest::EnvVar noRuntime("XDG_RUNTIME_DIR", std::nullopt);
  ASSERT_EQ(rmdir((home + "/.cache/virelomp3/tmp").c_str()), 0);
  Squat(th, home + "/.cache/virelomp3/tmp");
  const TempFolder::Choice none = TempFolder::Decide();
  EXPECT_EQ(none.m_strPath, "");
  EXPECT_EQ(GetTempDirectory(), "");
  const char* why = geteuid() == 0 ? txt::kTempFolderOtherOwner : txt::kTempFolderIsLink;
  EXPECT_EQ(TempFolder::RefusalText(), T(("无法使用临时文件夹: " + first + "(" + why + ")").c_str()));
}

TEST(OwnFile, TrustsOnlyPlainFilesOfOursThatOnlyWeWrite) {
  vtest::TempHome th;
  const std::string f = th.temp() + "f";
  ASSERT_TRUE(vtest::WriteFile(f, "x"));
  ASSERT_EQ(chmod(f.c_str(), 0644), 0);
  EXPECT_TRUE(OwnFile::TrustedPath(f));
  ASSERT_EQ(chmod(f.c_str(), 0620), 0);
  EXPECT_FALSE(OwnFile::TrustedPath(f)) << "group-writable";
  ASSERT_EQ(chmod(f.c_str(), 0600), 0);
  const std::string second = th.temp() + "second";
  ASSERT_EQ(link(f.c_str(), second.c_str()), 0);
  EXPECT_FALSE(OwnFile::TrustedPath(f)) << "a second name may be someone else's";
  ASSERT_EQ(unlink(second.c_str()), 0);
  const std::string l = th.temp() + "l";
  ASSERT_EQ(symlink(f.c_str(), l.c_str()), 0);
  EXPECT_FALSE(OwnFile::TrustedPath(l));
  const std::string fifo = th.temp() + "p";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(OwnFile::TrustedPath(fifo));
  EXPECT_FALSE(OwnFile::TrustedPath(th.temp() + "missing"));
  const int fd = open(f.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(OwnFile::TrustedFd(fd));
  close(fd);
  if (geteuid() != 0) GTEST_SKIP() << "a file of another user needs root to make";
  ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(OwnFile::TrustedPath(f));
}

class FormerFiles : public ::testing::Test {
 protected:
  std::string Old(const std::string& name) const { return th.tmpdir() + name; }
  std::string New(const std::string& name) const { return th.temp() + name; }
  vtest::TempHome th;
};

TEST_F(FormerFiles, OwnBlocksAndRecordMoveInUnderTheirNames) {
  for (const char* name : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3-12.hpt", "a.mp3.job.hpt", "a.mp3.hpt"})
    ASSERT_TRUE(vtest::WriteFile(Old(name), name));
  ASSERT_TRUE(vtest::WriteFile(Old("b.mp3-0.hpt"), "another song"));
  ASSERT_TRUE(vtest::WriteFile(Old("a.mp3-x.hpt"), "not a block"));
  EXPECT_EQ(FormerTempFiles::MoveFor("/music/a.mp3"), 5);
  for (const char* name : {"a.mp3-0.hpt", "a.mp3-1.hpt", "a.mp3-12.hpt", "a.mp3.job.hpt", "a.mp3.hpt"}) {
    EXPECT_EQ(vtest::ReadFile(New(name)), name);
    EXPECT_NE(access(Old(name).c_str(), F_OK), 0) << name;
  }
  EXPECT_EQ(vtest::ReadFile(Old("b.mp3-0.hpt")), "another song");
  EXPECT_EQ(vtest::ReadFile(Old("a.mp3-x.hpt")), "not a block");
  EXPECT_EQ(FormerTempFiles::MoveFor("/music/a.mp3"), 0) << "nothing left to move";
}

TEST_F(FormerFiles, FilesOthersCouldWriteStayWhereTheyAre) {
  ASSERT_TRUE(vtest::WriteFile(Old("a.mp3-0.hpt"), "planted"));
  MakeForeign(Old("a.mp3-0.hpt"));
  ASSERT_TRUE(vtest::WriteFile(Old("a.mp3.job.hpt"), "planted"));
  MakeForeign(Old("a.mp3.job.hpt"));
  ASSERT_TRUE(vtest::WriteFile(Old("a.mp3-1.hpt"), "ours"));
  ASSERT_TRUE(vtest::WriteFile(New("a.mp3-1.hpt"), "newer"));
  ASSERT_EQ(symlink(Old("a.mp3-1.hpt").c_str(), Old("a.mp3-2.hpt").c_str()), 0);
  EXPECT_EQ(FormerTempFiles::MoveFor("a.mp3"), 0);
  EXPECT_EQ(vtest::ReadFile(Old("a.mp3-0.hpt")), "planted");
  EXPECT_EQ(vtest::ReadFile(Old("a.mp3.job.hpt")), "planted");
  EXPECT_NE(access(New("a.mp3-0.hpt").c_str(), F_OK), 0);
  EXPECT_EQ(vtest::ReadFile(New("a.mp3-1.hpt")), "newer") << "never replaced";
  EXPECT_EQ(vtest::ReadFile(Old("a.mp3-1.hpt")), "ours");
  EXPECT_NE(access(New("a.mp3-2.hpt").c_str(), F_OK), 0) << "links are not moved";
}

TEST_F(FormerFiles, AnOlderCopyStillDownloadingKeepsItsFiles) {
  ASSERT_TRUE(vtest::WriteFile(Old("a.mp3-0.hpt"), "busy"));
  const int lock = open(Old("a.mp3.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  EXPECT_EQ(FormerTempFiles::MoveFor("a.mp3"), 0);
  EXPECT_EQ(vtest::ReadFile(Old("a.mp3-0.hpt")), "busy");
  close(lock);
  EXPECT_EQ(FormerTempFiles::MoveFor("a.mp3"), 1);
  EXPECT_EQ(vtest::ReadFile(New("a.mp3-0.hpt")), "busy");
}

}  // namespace
