// Ctrl-C and SIGTERM end the console's fetch at once, even while the length
// request waits on a server that holds back its header.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

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
    const std::string out = home.root() + "/a.mp3";
    apptest::Child c = apptest::Spawn({"fetch", srv.url("/a.mp3"), out}, home.root());
    ASSERT_TRUE(srv.waitForRequests(1, 20000));
    const auto sent = std::chrono::steady_clock::now();
    kill(c.pid, sig);
    // About a second on an idle machine; the bound leaves room for a busy one.
    EXPECT_EQ(apptest::Wait(c, 5000), 130) << vtest::ReadFile(c.err);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
    EXPECT_NE(vtest::ReadFile(c.err).find("已中断"), std::string::npos) << vtest::ReadFile(c.err);
  }
}

}  // namespace
