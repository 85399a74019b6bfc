// Ctrl-C and SIGTERM end the console's fetch at once, even while the length
// request waits on a server that holds back its header.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"
#include "tests/app/CliTestUtil.h"

namespace {

TEST(Interrupt, SignalDuringAHeldBackHeaderEndsFetchAtOnce) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    vtest::TempHome home;
    vtest::ScriptedServer srv;
    vtest::Route r = vtest::Route::File(std::string(5000, 'x'));
    r.faults.headerDelayMs = 60000;
    srv.route("/a.mp3", r);
    const std::string out = home.root() + "/a.mp3", err = home.root() + "/err";
    pid_t pid = fork();
    if (pid == 0) {
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(e, 2);
      execl(VIRELOMP3_CLI, VIRELOMP3_CLI, "fetch", srv.url("/a.mp3").c_str(), out.c_str(), (char*)nullptr);
      _exit(127);
    }
    ASSERT_TRUE(srv.waitForRequests(1, 20000));
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, sig);
    // About a second on an idle machine; the bound leaves room for a busy one.
    EXPECT_EQ(apptest::WaitPid(pid, 5000), 130) << vtest::ReadFile(err);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
    EXPECT_NE(vtest::ReadFile(err).find("interrupted"), std::string::npos) << vtest::ReadFile(err);
  }
}

}  // namespace
