// A full disk or a missing permission ends the job at once with a text
// that says so, keeps the block files, and says the cause is local.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/Common.h"
#include "engine/job/DiskWrite.h"
#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using vtest::Route;

class DiskFull : public bdtest::JobFixture {
 protected:
  void TearDown() override { InjectWriteError("", 0); }
  long long Size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  }
  const std::string m_body = vtest::RandomBytes(6000, 3);
};

TEST_F(DiskFull, FullTemporaryFolderEndsTheJobAtOnceAndSaysWhy) {
  for (int err : {ENOSPC, EACCES, EROFS}) {
    SCOPED_TRACE(err);
    // Each round has its own path and name: a request of the round before
    // can still be logged by the server after its job has gone.
    const std::string name = "a" + std::to_string(err) + ".mp3";
    srv.route("/" + name, Route::File(m_body));
    bdtest::Owner o;
    InjectWriteError(home.temp(), err);
    auto job = Job(srv.url("/" + name), Target(name), 2, o, true);
    Run(*job, o);
    EXPECT_EQ(o.failures(), 1);
    EXPECT_EQ(job->LocalError(), err);
    const std::string why = LocalWriteErrorText(err);
    EXPECT_EQ(why, T(err == ENOSPC ? txt::kDiskFull : txt::kNoWritePermission));
    ASSERT_FALSE(o.JobTexts().empty());
    EXPECT_EQ(o.JobTexts().back(), why);
    EXPECT_EQ(o.Count(T(txt::kSockReceiveDone), 0) + o.Count(T(txt::kSockReceiveDone), 1), 0)
        << "nothing claims the bytes arrived";
    // One request per block: no attempt is spent on a disk that is full.
    EXPECT_LE(bdtest::BlockRanges(srv, "/" + name).size(), 2u);
    // The record could not be written either, so the start ended there.
    EXPECT_FALSE(bdtest::Exists(Sidecar(name)));
    EXPECT_FALSE(bdtest::Exists(Target(name)));
  }
}

TEST_F(DiskFull, FullDownloadFolderKeepsTheWholeBlockFiles) {
  srv.route("/a.mp3", Route::File(m_body));
  InjectWriteError(home.downloads(), ENOSPC);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(owner.successes(), 0);
  EXPECT_EQ(job->LocalError(), ENOSPC);
  EXPECT_EQ(owner.JobTexts().back(), T(txt::kDiskFull));
  EXPECT_FALSE(bdtest::Exists(Target("a.mp3")));
  EXPECT_FALSE(bdtest::Exists(Target("a.mp3") + ".part"));
  EXPECT_EQ(Size(BlockFile("a.mp3", 0)) + Size(BlockFile("a.mp3", 1)), 6000);

  // With room again, a later job merges them without asking for a byte.
  InjectWriteError("", 0);
  ASSERT_TRUE(srv.waitAllClosed(10000));
  srv.clearRequests();
  bdtest::Owner again;
  auto next = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, again, true);
  Run(*next, again);
  EXPECT_EQ(again.successes(), 1);
  EXPECT_EQ(next->LocalError(), 0);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), m_body);
  ExpectNoLeftovers(Target("a.mp3"));
}

TEST_F(DiskFull, OtherFailuresAreNotLocal) {
  Route r = Route::File(m_body);
  r.faults.closeAfterBodyBytes = 10;
  srv.route("/a.mp3", r);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  EXPECT_EQ(job->LocalError(), 0);
  EXPECT_FALSE(IsLocalWriteError(EIO));
  EXPECT_TRUE(LocalWriteErrorText(ECONNRESET).empty());
}

// Writes at an offset leave the file's position where it was, and a folder
// made "full" refuses them as it refuses the block files' writes.
TEST_F(DiskFull, WritesAtAnOffsetKeepThePositionAndMeetTheFullFolder) {
  const std::string path = Target("at.bin");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WriteAll(fd, "abc", 3));
  ASSERT_TRUE(WriteAllAt(fd, "XY", 2, 6));
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 3);
  ASSERT_TRUE(WriteAll(fd, "d", 1));
  EXPECT_FALSE(WriteAllAt(fd, "z", 1, -1));
  EXPECT_EQ(errno, EINVAL);
  InjectWriteError(GetPathFolder(path), ENOSPC);
  EXPECT_FALSE(WriteAllAt(fd, "Q", 1, 0));
  EXPECT_EQ(errno, ENOSPC);
  InjectWriteError("", 0);
  ::close(fd);
  EXPECT_EQ(vtest::ReadFile(path), std::string("abcd\0\0XY", 8));
}

}  // namespace
