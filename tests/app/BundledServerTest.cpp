// The bundled server started on demand: which searches it serves, one start
// however many tasks ask at once, a server already answering used as it is,
// its end with the program (and with a program that dies), and the
// application's side: a search starts it, AutoStart=0 and the update check
// do not.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include "tests/support/SongMaker.h"
#include "app/BundledServer.h"
#include "tests/app/AppTestUtil.h"
#include "tests/support/Loopback.h"
#include "tests/support/ScriptedServer.h"

#ifndef VIRELOMP3_SERVER
#error "VIRELOMP3_SERVER names the built virelomp3-server"
#endif

using namespace apptest;
namespace fs = std::filesystem;

namespace {

std::string SearchUrl(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/cgi-bin/music/mp3.cgi?_searchkey=";
}

class BundledServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = th.root() + "/server-root";
    fs::create_directories(root + "/songs");
    fs::create_directories(root + "/update");
    song = vtest::Mp3Bytes(300000, 7);
    ASSERT_TRUE(vtest::WriteFile(root + "/songs/alpha.mp3", song));
    ASSERT_TRUE(vtest::WriteFile(root + "/update/update.ini", "[MP3]\r\nVERSION=9.0\r\n"));
    options.nPort = vtest::UnusedLoopbackPort();
    options.strServerPath = VIRELOMP3_SERVER;
    options.strRoot = root;
    options.strLogPath = th.root() + "/server.log";
  }
  vtest::TempHome th;
  std::string root, song;
  BundledServerOptions options;
};

TEST_F(BundledServerTest, ServesOnlyLoopbackAddressesOnItsPort) {
  CBundledServer s(options);
  const std::string port = std::to_string(options.nPort);
  EXPECT_TRUE(s.Serves("http://127.0.0.1:" + port + "/cgi-bin/music/mp3.cgi?_searchkey=x"));
  EXPECT_TRUE(s.Serves("http://LocalHost:" + port + "/x"));
  EXPECT_FALSE(s.Serves("http://127.0.0.1:" + std::to_string(options.nPort + 1) + "/x"));
  EXPECT_FALSE(s.Serves("http://music.example:" + port + "/x"));
  EXPECT_FALSE(s.Serves("ftp://127.0.0.1:" + port + "/x"));
  EXPECT_FALSE(s.Serves("not an address"));
  CBundledServer builtin;
  EXPECT_TRUE(builtin.Serves("http://127.0.0.1:18317/cgi-bin/music/mp3.cgi?_searchkey=x"));
  EXPECT_FALSE(builtin.EnsureFor("http://127.0.0.1:1/x")) << "another port starts nothing";
  EXPECT_EQ(builtin.GetStartCount(), 0);
}

TEST_F(BundledServerTest, StartsOnceWaitsUntilItAnswersAndStopsWithItsOwner) {
  pid_t child;
  {
    CBundledServer s(options);
    ASSERT_FALSE(s.Answers());
    // Many tasks search at once: one start, all of them find it answering.
    std::vector<std::thread> tasks;
    std::atomic<int> answered{0};
    for (int i = 0; i < 4; ++i)
      tasks.emplace_back([&] { answered += s.EnsureFor(SearchUrl(options.nPort)) ? 1 : 0; });
    for (auto& t : tasks) t.join();
    EXPECT_EQ(answered.load(), 4);
    EXPECT_EQ(s.GetStartCount(), 1);
    child = s.GetChildPid();
    ASSERT_GT(child, 0);
    // The threads that asked have ended; the server outlives them.
    for (int i = 0; i < 10; ++i) {
      EXPECT_TRUE(s.Answers());
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_TRUE(s.EnsureFor(SearchUrl(options.nPort)));
    EXPECT_EQ(s.GetStartCount(), 1);
  }
  // Stopped and reaped: the process id is gone, nothing answers.
  EXPECT_NE(kill(child, 0), 0);
  CBundledServer probe(options);
  EXPECT_FALSE(probe.Answers());
}

TEST_F(BundledServerTest, AServerAlreadyAnsweringIsUsedAsItIs) {
  vtest::ScriptedServer other;
  options.nPort = other.port();
  CBundledServer s(options);
  EXPECT_TRUE(s.EnsureFor(SearchUrl(options.nPort)));
  EXPECT_EQ(s.GetStartCount(), 0);
  s.Stop();
  EXPECT_TRUE(s.Answers()) << "a server we did not start is left alone";
}

TEST_F(BundledServerTest, AMissingOrFailingServerLetsTheSearchGoOn) {
  options.strServerPath = th.root() + "/no-such-server";
  {
    CBundledServer s(options);
    EXPECT_FALSE(s.EnsureFor(SearchUrl(options.nPort)));
    EXPECT_EQ(s.GetStartCount(), 0);
  }
  // One that ends at once is not waited for until the time-out, and the
  // next search tries again.
  options.strServerPath = th.root() + "/failing-server";
  ASSERT_TRUE(vtest::WriteFile(options.strServerPath, "#!/bin/sh\nexit 3\n"));
  chmod(options.strServerPath.c_str(), 0755);
  options.nStartTimeoutMs = 60000;
  CBundledServer s(options);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.EnsureFor(SearchUrl(options.nPort)));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_FALSE(s.EnsureFor(SearchUrl(options.nPort)));
  EXPECT_EQ(s.GetStartCount(), 2);
  EXPECT_EQ(s.GetChildPid(), -1);
}

TEST_F(BundledServerTest, ADyingProgramTakesItsServerAlong) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t owner = fork();
  ASSERT_GE(owner, 0);
  if (owner == 0) {
    close(ready[0]);
    auto* s = new CBundledServer(options);  // never stopped: the owner is killed
    char ok = s->EnsureFor(SearchUrl(options.nPort)) ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  close(ready[0]);
  EXPECT_EQ(ok, 'y');
  CBundledServer probe(options);
  EXPECT_TRUE(probe.Answers());
  kill(owner, SIGKILL);
  waitpid(owner, nullptr, 0);
  EXPECT_TRUE(WaitUntil([&] { return !probe.Answers(); }, 15000));
}

// The application's side, with MP3.ini's engine on the test's port.
class AppBundledServerTest : public BundledServerTest {
 protected:
  void SetUp() override {
    BundledServerTest::SetUp();
    const std::string head = SearchUrl(options.nPort);
    IniWrite(Ini(), "FileType", "CurSel", ".MP3");
    IniWrite(Ini(), "Enginee", "CurSel", "1");
    IniWrite(Ini(), ".MP3", "Enginee1_head", head);
    IniWrite(Ini(), "Size", "MinSize", "0");
    IniWrite(Ini(), "Speed", "CheckSpeed", "0");
  }
  std::unique_ptr<CDownloaderApp> MakeApp() {
    AppOptions o;
    o.bCheckForUpdate = false;
    o.pUiPort = &port;
    o.bundledServer = options;
    o.strUpdateHost = "http://127.0.0.1:" + std::to_string(options.nPort);
    o.nVersionConnectTimeoutMs = 3000;
    return std::make_unique<CDownloaderApp>(o);
  }
  RecordingPort port;
};

TEST_F(AppBundledServerTest, ASearchStartsItAndTheSongArrives) {
  {
    auto app = MakeApp();
    app->AddTasks("alpha");
    EXPECT_TRUE(WaitUntil([&] { return vtest::ReadFile(th.downloads() + "/alpha.mp3") == song; }, 60000));
    EXPECT_EQ(app->GetBundledServer()->GetStartCount(), 1);
    app->ExitSequence();
  }
  CBundledServer probe(options);
  EXPECT_FALSE(probe.Answers()) << "it ends with the program";
}

// A task from an earlier run goes straight to its stored address, with no
// search before it: that first connection starts the server too.
TEST_F(AppBundledServerTest, AStoredAddressOnItStartsItBeforeTheFirstConnection) {
  const std::string address = "http://127.0.0.1:" + std::to_string(options.nPort) + "/songs/alpha.mp3";
  ASSERT_TRUE(WriteRecords(th.home() + "/downing.dat", {MakeEntry("alpha", "", address)}));
  auto app = MakeApp();
  app->AddTasks("alpha");  // restarts the stored entry
  EXPECT_TRUE(WaitUntil([&] { return vtest::ReadFile(th.downloads() + "/alpha.mp3") == song; }, 60000));
  EXPECT_EQ(app->GetBundledServer()->GetStartCount(), 1);
  app->ExitSequence();
  // Straight from the address: no failed attempt sent it searching anew.
  const std::string log = vtest::ReadFile(options.strLogPath);
  EXPECT_NE(log.find("/songs/alpha.mp3"), std::string::npos) << log;
  EXPECT_EQ(log.find("_searchkey"), std::string::npos) << log;
}

TEST_F(AppBundledServerTest, AutoStartOffAndTheUpdateCheckStartNothing) {
  {
    auto app = MakeApp();
    app->CheckForUpdate();
    EXPECT_EQ(app->GetBundledServer()->GetStartCount(), 0);
    app->ExitSequence();
  }
  IniWrite(Ini(), "Server", "AutoStart", "0");
  auto app = MakeApp();
  app->AddTasks("alpha");
  EXPECT_TRUE(WaitUntil([&] {
    TaskEntry e;
    return app->ReadEntry("alpha", e) && Text(e.m_szAddress, sizeof e.m_szAddress) == T(txt::kSearchFailed);
  }, 60000));
  EXPECT_EQ(app->GetBundledServer()->GetStartCount(), 0);
  EXPECT_FALSE(fs::exists(th.downloads() + "/alpha.mp3"));
  app->ExitSequence();
}

}  // namespace
