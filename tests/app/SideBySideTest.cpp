// Two copies of the program at once, each with its own program directory
// and one shared temporary directory, as one user runs them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include "tests/support/SongMaker.h"
#include "engine/Gbk.h"
#include "tests/app/AppTestUtil.h"
#include "tests/app/CliTestUtil.h"

using namespace apptest;

namespace {

// One save cycle after another: add, save, delete some, save, delete all,
// save; the file is read back after each save. Returns the first cycle that
// went wrong (1-based), 0 when none did.
int SaveCycles(const std::string& home, int cycles) {
  setenv("VIRELOMP3_HOME", home.c_str(), 1);
  RecordingPort port;
  CDownloaderApp app(Quiet(&port));
  const std::string list = home + "/downing.dat";
  for (int i = 1; i <= cycles; ++i) {
    app.AddTasks("a;b;c;d;e");
    app.SaveTaskList();
    if (RecordNames(list) != std::vector<std::string>{"a", "b", "c", "d", "e"}) return i;
    app.RemoveTask("b");
    app.RemoveTask("d");
    app.SaveTaskList();
    if (RecordNames(list) != std::vector<std::string>{"a", "c", "e"}) return i;
    app.RemoveAllTasks();
    app.SaveTaskList();
    if (!RecordNames(list).empty()) return i;
  }
  return 0;
}

TEST(SideBySide, SavesWithDeletionsNeverMixUp) {
  vtest::TempHome one;
  const std::string other = one.root() + "/other";
  std::filesystem::create_directories(other);
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    const std::string home = k == 0 ? one.home() : other;
    kids[k] = fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] == 0) _exit(std::min(SaveCycles(home, 300), 255));
  }
  for (int k = 0; k < 2; ++k) EXPECT_EQ(apptest::WaitPid(kids[k], 120000), 0) << "copy " << k << ": first bad cycle";
  EXPECT_FALSE(std::filesystem::exists(one.temp() + "d001.tmp"));
}

// virelomp3-cli fetch URL OUT as a child; stderr goes to err.
pid_t Fetch(const std::string& url, const std::string& out, const std::string& err) {
  pid_t pid = fork();
  if (pid == 0) {
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(e, 2);
    execl(VIRELOMP3_CLI, VIRELOMP3_CLI, "fetch", url.c_str(), out.c_str(), "--blocks", "2", (char*)nullptr);
    _exit(127);
  }
  return pid;
}

TEST(SideBySide, SameFileNameFromTwoHostsKeepsEachHostsBytes) {
  vtest::TempHome home;
  vtest::ScriptedServer hostA, hostB;
  // Same name and length, no validator: only the address tells them apart.
  const std::string bytesA = vtest::Mp3Bytes(300000, 1), bytesB = vtest::Mp3Bytes(300000, 2);
  vtest::Route a = vtest::Route::File(bytesA);
  // Slow enough that the second is surely started (a sanitizer build on
  // a loaded machine takes a while) before the first is done.
  a.faults.rateBytesPerSec = 40000;
  hostA.route("/song.mp3", a);
  hostB.route("/song.mp3", vtest::Route::File(bytesB));
  const std::string dirA = home.root() + "/a", dirB = home.root() + "/b";
  std::filesystem::create_directories(dirA);
  std::filesystem::create_directories(dirB);

  pid_t first = Fetch(hostA.url("/song.mp3"), dirA + "/song.mp3", dirA + "/err");
  // The first holds block files by the time both its blocks have asked.
  ASSERT_TRUE(WaitUntil([&] { return hostA.requests().size() >= 2; }, 20000));
  pid_t second = Fetch(hostB.url("/song.mp3"), dirB + "/song.mp3", dirB + "/err");
  EXPECT_EQ(apptest::WaitPid(first, 120000), 0) << vtest::ReadFile(dirA + "/err");
  EXPECT_EQ(apptest::WaitPid(second, 120000), 0) << vtest::ReadFile(dirB + "/err");
  EXPECT_TRUE(vtest::ReadFile(dirA + "/song.mp3") == bytesA);
  EXPECT_TRUE(vtest::ReadFile(dirB + "/song.mp3") == bytesB);
  EXPECT_NE(vtest::ReadFile(dirB + "/err").find("另一个程序正在下载同名文件, 等待中..."), std::string::npos)
      << vtest::ReadFile(dirB + "/err");
}

}  // namespace
