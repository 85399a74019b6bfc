// The start-up update check and starting the updater, against the scripted
// server as update host and a stand-in updater script that records its
// arguments.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include "tests/app/AppTestUtil.h"
#include "tests/support/EnvVar.h"
#include "tests/support/ServerFront.h"
#include "tests/support/TestCa.h"

using namespace apptest;

namespace {

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    srv.route("/count.asp", vtest::Route::File("counted"));
    InstallUpdater(home.home());
  }
  static void InstallUpdater(const std::string& dir) {
    std::string script =
        "#!/bin/sh\n"
        "d=$(dirname \"$0\")\n"
        "printf '%s\\n' \"$@\" > \"$d/argv.tmp\" && mv \"$d/argv.tmp\" \"$d/argv.txt\"\n";
    ASSERT_TRUE(vtest::WriteFile(dir + "/update", script));
    ASSERT_EQ(chmod((dir + "/update").c_str(), 0755), 0);
  }
  void Publish(const std::string& version) {
    srv.route("/update/update.ini", vtest::Route::File("[MP3]\r\nVERSION=" + version + "\r\n"));
  }
  void Install(const std::string& version, const std::string& url) {
    IniWrite(Ini(), "Update", "Version", version);
    IniWrite(Ini(), "Update", "URL", url);
  }
  std::unique_ptr<CDownloaderApp> MakeApp(bool checkAtStart = false) {
    AppOptions o = Quiet(&port, checkAtStart);
    o.bCheckForUpdate = checkAtStart;
    o.strUpdateHost = updateHost.empty() ? srv.url("") : updateHost;
    o.strProgramPath = program;
    // Loopback connects well within 5 ms, except under a sanitizer on a busy
    // machine: these tests are about what follows a fetch, not its time-out.
    o.nVersionConnectTimeoutMs = 3000;
    return std::make_unique<CDownloaderApp>(o);
  }
  std::vector<std::string> UpdaterArgs(const std::string& dir) {
    std::vector<std::string> lines;
    if (!WaitUntil([&] { return std::filesystem::exists(dir + "/argv.txt"); }, 5000)) return lines;
    std::istringstream in(vtest::ReadFile(dir + "/argv.txt"));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  bool UpdaterStarted(const std::string& dir) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return std::filesystem::exists(dir + "/argv.txt");
  }

  vtest::TempHome home;
  vtest::ScriptedServer srv;
  RecordingPort port;
  std::string program = "/opt/virelo/VireloMP3.exe";
  std::string updateHost;  // the scripted server's own when empty
};

TEST_F(UpdateTest, NewerPublishedVersionStartsTheUpdater) {
  Install("2.0", srv.url("/update/update.ini"));
  Publish("2.01");
  auto app = MakeApp();
  app->CheckForUpdate();
  std::vector<std::string> args = UpdaterArgs(home.home());
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0], "VireloMP3");
  EXPECT_EQ(args[1], "2.0");
  EXPECT_EQ(args[2], srv.url("/update/update.ini"));
  EXPECT_EQ(args[3], program);
  // The version file is kept raw in the temp directory.
  EXPECT_EQ(vtest::ReadFile(home.temp() + "update.ini"), "[MP3]\r\nVERSION=2.01\r\n");
  EXPECT_EQ(srv.requestsFor("/count.asp").size(), 1u);
  EXPECT_TRUE(port.Messages().empty());
}

TEST_F(UpdateTest, SameOrOlderPublishedVersionStartsNothing) {
  Install("2.1", srv.url("/update/update.ini"));
  Publish("2.10");
  auto app = MakeApp();
  app->CheckForUpdate();
  EXPECT_EQ(srv.requestsFor("/update/update.ini").size(), 1u);
  EXPECT_FALSE(UpdaterStarted(home.home()));
  Publish("2.0.9");
  app->CheckForUpdate();
  EXPECT_FALSE(UpdaterStarted(home.home()));
}

TEST_F(UpdateTest, EmptyAddressUsesTheBuiltInVersionFile) {
  Install("1", "");
  Publish("3");
  auto app = MakeApp();
  app->CheckForUpdate();
  std::vector<std::string> args = UpdaterArgs(home.home());
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[2], srv.url("/update/update.ini"));
}

TEST_F(UpdateTest, MissingInstalledVersionCountsAsZero) {
  Publish("0.1");
  auto app = MakeApp();
  app->CheckForUpdate();
  std::vector<std::string> args = UpdaterArgs(home.home());
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[1], "0");
}

TEST_F(UpdateTest, NoCountPageNoVersionCheck) {
  srv.route("/count.asp", vtest::Route::Raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
  Publish("9");
  auto app = MakeApp();
  app->CheckForUpdate();
  EXPECT_TRUE(srv.requestsFor("/update/update.ini").empty());
  EXPECT_FALSE(UpdaterStarted(home.home()));
}

TEST_F(UpdateTest, RedirectOfTheVersionFileIsNotFollowed) {
  Install("1", srv.url("/update/update.ini"));
  srv.route("/update/update.ini", vtest::Route::Redirect(302, "/elsewhere.ini"));
  srv.route("/elsewhere.ini", vtest::Route::File("[MP3]\nVERSION=9\n"));
  auto app = MakeApp();
  app->CheckForUpdate();
  EXPECT_TRUE(srv.requestsFor("/elsewhere.ini").empty());
  EXPECT_FALSE(UpdaterStarted(home.home()));
}

TEST_F(UpdateTest, ReplyWithoutTheKeyReadsAsZero) {
  Install("-1", srv.url("/update/update.ini"));
  srv.route("/update/update.ini", vtest::Route::File("<html>not an ini file</html>"));
  auto app = MakeApp();
  app->CheckForUpdate();
  // Installed -1 is below 0, so even this starts the updater.
  EXPECT_EQ(UpdaterArgs(home.home()).size(), 4u);
}

TEST_F(UpdateTest, FirstSchedulerPassRunsTheCheck) {
  Install("2.0", srv.url("/update/update.ini"));
  Publish("2.01");
  auto app = MakeApp(true);
  EXPECT_EQ(UpdaterArgs(home.home()).size(), 4u);
}

TEST_F(UpdateTest, SlowUpdateServerDoesNotHoldUpTheExit) {
  vtest::Route stalled = vtest::Route::File("counted");
  stalled.faults.headerDelayMs = 30000;
  srv.route("/count.asp", stalled);
  auto app = MakeApp(true);
  ASSERT_TRUE(srv.waitForRequests(1, 5000));
  auto t0 = std::chrono::steady_clock::now();
  app->ExitSequence();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 5000);
}

TEST_F(UpdateTest, ToolbarCommandStartsTheUpdaterAndItIsReaped) {
  auto app = MakeApp();
  ASSERT_TRUE(app->LaunchUpdater());
  pid_t pid = app->GetLastUpdaterPid();
  ASSERT_GT(pid, 0);
  std::vector<std::string> args = UpdaterArgs(home.home());
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[1], "0");
  // A zombie still answers kill(pid, 0); a reaped child does not.
  EXPECT_TRUE(WaitUntil([&] { return kill(pid, 0) == -1 && errno == ESRCH; }, 5000));
}

TEST_F(UpdateTest, ProgramNameKeepsItsEndingWithoutExe) {
  program = "/usr/lib/virelo/virelomp3";
  auto app = MakeApp();
  ASSERT_TRUE(app->LaunchUpdater());
  std::vector<std::string> args = UpdaterArgs(home.home());
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0], "virelomp3");
}

TEST_F(UpdateTest, ProgramDirectoryWithBlanksWorks) {
  const std::string dir = home.root() + "/my program dir";
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  InstallUpdater(dir);
  setenv("VIRELOMP3_HOME", dir.c_str(), 1);  // TempHome puts the old value back
  program = dir + "/Virelo MP3.exe";
  auto app = MakeApp();
  ASSERT_TRUE(app->LaunchUpdater());
  std::vector<std::string> args = UpdaterArgs(dir);
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0], "Virelo MP3");
  EXPECT_EQ(args[3], dir + "/Virelo MP3.exe");
}

TEST_F(UpdateTest, UpdaterIsLookedForBesideTheProgramFirst) {
  // Installed into a shared bin folder the updater has a name of its own;
  // the program directory's "update" only stands in when nothing is beside.
  const std::string bin = home.root() + "/usr/bin";
  ASSERT_TRUE(std::filesystem::create_directories(bin));
  program = bin + "/virelomp3";
  auto app = MakeApp();
  ASSERT_TRUE(app->LaunchUpdater());
  EXPECT_EQ(UpdaterArgs(home.home()).size(), 4u) << "nothing beside: the program directory's";
  std::filesystem::remove(home.home() + "/argv.txt");

  InstallUpdater(bin);
  std::filesystem::rename(bin + "/update", bin + "/virelomp3-update");
  EXPECT_EQ(FindUpdater(program), bin + "/virelomp3-update");
  ASSERT_TRUE(app->LaunchUpdater());
  std::vector<std::string> args = UpdaterArgs(bin);
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0], "virelomp3");
  EXPECT_EQ(args[3], program);

  InstallUpdater(bin);
  EXPECT_EQ(FindUpdater(program), bin + "/update");
}

TEST_F(UpdateTest, InstalledCopyStartsOnlyItsOwnUpdater) {
  // A shared bin folder's "update" is another package's (or anyone's who
  // could put it there); the program directory's is not ours to run either.
  const std::string bin = home.root() + "/usr/bin";
  const std::string data = home.root() + "/usr/share/virelomp3";
  ASSERT_TRUE(std::filesystem::create_directories(bin));
  ASSERT_TRUE(std::filesystem::create_directories(data));
  ASSERT_TRUE(vtest::WriteFile(data + "/MP3.ini", "[Update]\r\n"));
  program = bin + "/virelomp3";
  InstallUpdater(bin);
  EXPECT_EQ(FindUpdater(program), bin + "/virelomp3-update");
  auto app = MakeApp();
  EXPECT_FALSE(app->LaunchUpdater());
  EXPECT_FALSE(std::filesystem::exists(bin + "/argv.txt")) << "the foreign updater ran";
  EXPECT_FALSE(std::filesystem::exists(home.home() + "/argv.txt")) << "the program directory's ran";

  std::filesystem::rename(bin + "/update", bin + "/virelomp3-update");
  ASSERT_TRUE(app->LaunchUpdater());
  EXPECT_EQ(UpdaterArgs(bin).size(), 4u);
}

TEST_F(UpdateTest, MissingUpdaterShowsTheMessage) {
  std::filesystem::remove(home.home() + "/update");
  auto app = MakeApp();
  EXPECT_FALSE(app->LaunchUpdater());
  EXPECT_EQ(port.Count(T(txt::kUpdaterFailed)), 1);
}

// The update host on https: the same trust as every other connection, the
// user's trust file included, and nothing sent to a server it does not vouch
// for.
class UpdateHttpsTest : public UpdateTest {
 protected:
  void SetUp() override {
    UpdateTest::SetUp();
    // Trust comes from MP3.ini alone, whatever the machine's environment.
    IniWrite(Ini(), "Network", "CAFile", ca.caFile());
    IniWrite(Ini(), "Network", "Proxy", "none");
  }
  std::unique_ptr<CDownloaderApp> MakeHttpsApp(const vtest::ServerFront& front) {
    updateHost = front.url("");
    return MakeApp();
  }
  vtest::EnvVar noFile{"SSL_CERT_FILE", "/nonexistent/ca.pem"};
  vtest::EnvVar noDir{"SSL_CERT_DIR", "/nonexistent"};
  vtest::TestCa ca{home.root()};
  vtest::ServerFront tls{srv.port(), "127.0.0.1", ca.Issue("update", {"localhost"}, {"127.0.0.1"})};
};

TEST_F(UpdateHttpsTest, TrustedHostIsCheckedAndItsVersionFileStartsTheUpdater) {
  Install("2.0", tls.url("/update/update.ini"));
  Publish("2.01");
  auto app = MakeHttpsApp(tls);
  app->CheckForUpdate();
  std::vector<std::string> args = UpdaterArgs(home.home());
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[2], tls.url("/update/update.ini"));
  EXPECT_EQ(vtest::ReadFile(home.temp() + "update.ini"), "[MP3]\r\nVERSION=2.01\r\n");
  EXPECT_EQ(srv.requestsFor("/count.asp").size(), 1u);
  // Both requests were made over verified TLS.
  EXPECT_GE(tls.handshakes(), 2);
}

TEST_F(UpdateHttpsTest, HostOutsideTheTrustIsNeverAsked) {
  IniWrite(Ini(), "Network", "CAFile", "");
  Install("1", tls.url("/update/update.ini"));
  Publish("9");
  auto app = MakeHttpsApp(tls);
  app->CheckForUpdate();
  EXPECT_GE(tls.accepted(), 1) << "the check never tried the host";
  EXPECT_TRUE(srv.requests().empty());
  EXPECT_FALSE(UpdaterStarted(home.home()));
}

TEST_F(UpdateHttpsTest, VersionFileFromAHostWithAnotherNameIsRefused) {
  // The count page's host is trusted; the version file's certificate names
  // another host, and the file must not be read.
  vtest::ServerFront other(srv.port(), "127.0.0.1", ca.Issue("other", {"other.test"}, {}));
  Install("1", other.url("/update/update.ini"));
  Publish("9");
  auto app = MakeHttpsApp(tls);
  app->CheckForUpdate();
  EXPECT_EQ(srv.requestsFor("/count.asp").size(), 1u);
  EXPECT_GE(other.accepted(), 1);
  EXPECT_TRUE(srv.requestsFor("/update/update.ini").empty());
  EXPECT_FALSE(UpdaterStarted(home.home()));
}

}  // namespace
