// The console's fetch says what really happened when Ctrl-C meets the end
// of a download: the command runs in this process, so the interrupt can be
// made to land at the one moment that matters.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli/Command.h"
#include "engine/job/BlockDownloader.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

bool WaitFor(const std::function<bool()>& pred, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct Fetched {
  int status = -1;
  std::string err;
};

// Runs "fetch ARGS" here, its stderr caught in a file.
Fetched Fetch(const std::vector<std::string>& args, const std::string& dir) {
  const CliCommand* fetch = FindCliCommand("fetch");
  if (!fetch) return {};
  const std::string errPath = dir + "/fetch.err";
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int file = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  dup2(file, STDERR_FILENO);
  close(file);
  Fetched f;
  f.status = fetch->run(args);
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  f.err = vtest::ReadFile(errPath);
  return f;
}

class CliFetchEnd : public ::testing::Test {
 protected:
  void TearDown() override {
    CBlockDownloader::SetMergeEndHook({});
    g_cliInterrupted = 0;
    // The command caught these; the test runner gets its own back.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
  }
  // Ctrl-C once the job's end is decided; the merge goes on only after the
  // command has seen it and asked the job to stop.
  void InterruptAtTheEnd() {
    CBlockDownloader::SetMergeEndHook([this](CBlockDownloader& job) {
      g_cliInterrupted = SIGINT;
      m_stopSeen = WaitFor([&] { return job.Stopping(); }, 20000);
    });
  }

  vtest::TempHome home;
  vtest::ScriptedServer srv;
  std::atomic<bool> m_stopSeen{false};
};

TEST_F(CliFetchEnd, InterruptAfterTheEndWasDecidedReportsTheSavedSong) {
  const std::string body = vtest::RandomBytes(300000, 4);
  srv.route("/a.mp3", vtest::Route::File(body));
  const std::string out = home.root() + "/a.mp3";
  InterruptAtTheEnd();
  const Fetched f = Fetch({srv.url("/a.mp3"), out, "--blocks", "3"}, home.root());
  EXPECT_TRUE(m_stopSeen) << "the interrupt reached the command before the song took its name";
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(vtest::ReadFile(out), body);
  EXPECT_NE(f.err.find("已保存 " + out), std::string::npos) << f.err;
  EXPECT_EQ(f.err.find("分块文件保留"), std::string::npos) << f.err;
}

TEST_F(CliFetchEnd, InterruptAfterTheEndWasDecidedReportsAFailedPlacing) {
  const std::string body = vtest::RandomBytes(300000, 5);
  srv.route("/a.mp3", vtest::Route::File(body));
  const std::string dir = home.root() + "/out";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string out = dir + "/a.mp3";
  // The folder goes once the end is decided: the song cannot take its name.
  CBlockDownloader::SetMergeEndHook([&](CBlockDownloader& job) {
    g_cliInterrupted = SIGINT;
    m_stopSeen = WaitFor([&] { return job.Stopping(); }, 20000);
    rename(dir.c_str(), (dir + "-moved").c_str());
  });
  const Fetched f = Fetch({srv.url("/a.mp3"), out, "--blocks", "3"}, home.root());
  EXPECT_TRUE(m_stopSeen);
  EXPECT_EQ(f.status, 1) << f.err;
  EXPECT_NE(f.err.find("失败: 下载文件夹不存在: " + dir), std::string::npos) << f.err;
  EXPECT_EQ(f.err.find("分块文件保留"), std::string::npos) << f.err;
}

}  // namespace
