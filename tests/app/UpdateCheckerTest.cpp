// The update check on its own, with the scripted server as update host and
// a stand-in updater: what it asks for, what it refuses to read, and that
// an exit under way stops it before it asks anything.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/UpdateChecker.h"
#include "app/UiPortRelay.h"
#include "tests/app/AppTestUtil.h"

using namespace apptest;

namespace {

class UpdateCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    srv.route("/count.asp", vtest::Route::File("counted"));
    const std::string script = "#!/bin/sh\nexit 0\n";
    ASSERT_TRUE(vtest::WriteFile(home.home() + "/update", script));
    ASSERT_EQ(chmod((home.home() + "/update").c_str(), 0755), 0);
    IniWrite(Ini(), "Update", "Version", "1.0");
  }
  UpdateChecker Make() {
    // Loopback connects well within the built-in time-out, except under a
    // sanitizer on a busy machine: give the fetch room.
    return UpdateChecker(UpdateCheckOptions{srv.url(""), home.home() + "/VireloMP3", 3000}, exiting, nullptr,
                         relay);
  }

  vtest::TempHome home;
  vtest::ScriptedServer srv;
  RecordingPort port;
  UiPortRelay relay{&port};
  std::atomic<bool> exiting{false};
};

}  // namespace

TEST_F(UpdateCheckerTest, ANewerVersionStartsTheUpdaterAfterAFetchPastEveryCache) {
  srv.route("/update/update.ini", vtest::Route::File("[MP3]\r\nVERSION=1.1\r\n"));
  UpdateChecker checker = Make();
  EXPECT_EQ(checker.LastUpdaterPid(), -1);
  checker.Check();
  EXPECT_GT(checker.LastUpdaterPid(), 0);
  const std::vector<vtest::Request> asked = srv.requestsFor("/update/update.ini");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].header("Pragma"), "no-cache");
  EXPECT_EQ(asked[0].header("Cache-Control"), "no-cache");
  EXPECT_EQ(asked[0].header("User-Agent"), T(txt::kAppName));
}

// Whatever a server sends, a reply past 1 MiB is no version file.
TEST_F(UpdateCheckerTest, AnOversizedVersionFileIsNotRead) {
  std::string body = "[MP3]\r\nVERSION=9\r\n";
  body.append((1 << 20) + 1, ';');
  srv.route("/update/update.ini", vtest::Route::File(body));
  UpdateChecker checker = Make();
  checker.Check();
  EXPECT_EQ(checker.LastUpdaterPid(), -1);
  EXPECT_EQ(srv.requestsFor("/update/update.ini").size(), 1u);
}

TEST_F(UpdateCheckerTest, AnExitUnderWayAsksNothing) {
  srv.route("/update/update.ini", vtest::Route::File("[MP3]\r\nVERSION=9\r\n"));
  exiting = true;
  UpdateChecker checker = Make();
  checker.Check();
  EXPECT_TRUE(srv.requests().empty());
  EXPECT_EQ(checker.LastUpdaterPid(), -1);
}

TEST_F(UpdateCheckerTest, AnUpdaterThatCannotStartIsToldThroughThePort) {
  ASSERT_EQ(chmod((home.home() + "/update").c_str(), 0644), 0);
  UpdateChecker checker = Make();
  EXPECT_FALSE(checker.LaunchUpdater());
  EXPECT_EQ(port.Count(T(txt::kUpdaterFailed)), 1);
  EXPECT_EQ(checker.LastUpdaterPid(), -1);
}
