// Whose program answers on the built-in port: a listener of another user
// is never asked; our own server starts on a free port instead, and
// addresses on the built-in host go there while they are kept as they were.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "app/BundledServer.h"
#include "app/ListenerOwner.h"
#include "tests/app/AppTestUtil.h"
#include "tests/support/SongMaker.h"

#ifndef VIRELOMP3_SERVER
#error "VIRELOMP3_SERVER names the built virelomp3-server"
#endif

using namespace apptest;
namespace fs = std::filesystem;

namespace {

std::string Hex(uint32_t word) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", word);
  return buf;
}

std::string Row(const std::string& local, const char* state, int uid) {
  return "   0: " + local + " 00000000:0000 " + state + " 00000000:00000000 00:00000000 00000000 " +
         std::to_string(uid) + "        0 4242 1 0000000000000000 100 0 0 10 0\n";
}

TEST(ListenerOwner, CountsOnlyListenersALoopbackConnectionReaches) {
  const std::string port = ":47AD";  // 18349
  const std::string head = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";
  const std::string v4 = head + Row(Hex(htonl(INADDR_LOOPBACK)) + port, "0A", 1001) +
                         Row(Hex(htonl(INADDR_ANY)) + port, "0A", 1002) +
                         Row(Hex(htonl(0x7f000002)) + port, "0A", 1003) +  // 127.0.0.2
                         Row(Hex(htonl(INADDR_LOOPBACK)) + port, "01", 1004) +  // a connection
                         Row(Hex(htonl(INADDR_LOOPBACK)) + ":47AE", "0A", 1005) + "garbage line\n";
  EXPECT_EQ(ListenerOwner::Parse(v4, false, 18349), (std::vector<uid_t>{1001, 1002}));
  const std::string zero = Hex(0) + Hex(0);
  const std::string v6 = head + Row(zero + zero + port, "0A", 2001) +
                         Row(zero + Hex(htonl(0xffff)) + Hex(htonl(INADDR_LOOPBACK)) + port, "0A", 2002) +
                         Row(zero + Hex(0) + Hex(htonl(1)) + port, "0A", 2003);  // ::1
  EXPECT_EQ(ListenerOwner::Parse(v6, true, 18349), (std::vector<uid_t>{2001, 2002}));
  EXPECT_TRUE(ListenerOwner::Parse(v4, true, 18349).empty()) << "IPv4 rows are no IPv6 addresses";
}

TEST(ListenerOwner, KnowsOurOwnListener) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const int port = ntohs(a.sin_port);
  EXPECT_FALSE(ListenerOwner::Ours(port)) << "bound is not listening";
  ASSERT_EQ(listen(fd, 4), 0);
  EXPECT_TRUE(ListenerOwner::Ours(port));
  close(fd);
  EXPECT_FALSE(ListenerOwner::Ours(port));
}

// A listener on a free loopback port, made by a child that became another
// user first.
class ForeignListener {
 public:
  ForeignListener() {
    int ready[2];
    if (geteuid() != 0 || pipe(m_hold) != 0 || pipe(ready) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(m_hold[1]);
      close(ready[0]);
      int port = -1;
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof a;
      // The socket is its maker's: made after the switch.
      int fd = -1;
      if (setgid(65534) == 0 && setuid(65534) == 0 && (fd = socket(AF_INET, SOCK_STREAM, 0)) >= 0 &&
          bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 64) == 0 &&
          getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
      if (write(ready[1], &port, sizeof port) != sizeof port) _exit(1);
      char c;
      while (read(m_hold[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    close(m_hold[0]);
    close(ready[1]);
    if (m_pid > 0 && read(ready[0], &m_port, sizeof m_port) != sizeof m_port) m_port = -1;
    close(ready[0]);
  }
  ~ForeignListener() {
    if (m_pid <= 0) return;
    close(m_hold[1]);
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  // The port, or -1 when no other user could be had (not root).
  int Port() const { return m_port; }

 private:
  int m_hold[2] = {-1, -1};
  pid_t m_pid = -1;
  int m_port = -1;
};

class SquattedPort : public ::testing::Test {
 protected:
  void SetUp() override {
    if (squatter.Port() < 0) GTEST_SKIP() << "another user's listener needs root (setuid in a child)";
    root = th.root() + "/server-root";
    fs::create_directories(root + "/songs");
    song = vtest::Mp3Bytes(300000, 9);
    ASSERT_TRUE(vtest::WriteFile(root + "/songs/alpha.mp3", song));
    options.nPort = squatter.Port();
    options.strServerPath = VIRELOMP3_SERVER;
    options.strRoot = root;
    options.strLogPath = th.root() + "/server.log";
  }
  std::string At(int port, const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

  // The program with our server options, reporting to `port`.
  std::unique_ptr<CDownloaderApp> StartApp() {
    AppOptions o;
    o.bCheckForUpdate = false;
    o.pUiPort = &port;
    o.bundledServer = options;
    return std::make_unique<CDownloaderApp>(o);
  }

  ForeignListener squatter;
  vtest::TempHome th;
  RecordingPort port;
  std::string root, song;
  BundledServerOptions options;
};

TEST_F(SquattedPort, OurOwnServerStartsElsewhereAndAddressesFollowIt) {
  const int builtin = options.nPort;
  EXPECT_FALSE(ListenerOwner::Ours(builtin));
  CBundledServer s(options);
  EXPECT_EQ(s.AddressFor(At(builtin, "/x")), "") << "never asked while none of ours runs";
  testing::internal::CaptureStderr();
  ASSERT_TRUE(s.EnsureFor(At(builtin, "/cgi-bin/music/mp3.cgi?_searchkey=alpha")));
  const std::string said = testing::internal::GetCapturedStderr();
  const int mine = s.PortInUse();
  EXPECT_NE(mine, builtin);
  EXPECT_EQ(s.GetStartCount(), 1);
  EXPECT_TRUE(ListenerOwner::Ours(mine));
  char text[256];
  std::snprintf(text, sizeof text, txt::kServerPortTaken, builtin, mine);
  EXPECT_NE(said.find(text), std::string::npos) << said;
  EXPECT_EQ(s.AddressFor(At(builtin, "/songs/a.mp3?x=1")), At(mine, "/songs/a.mp3?x=1"));
  EXPECT_EQ(s.AddressFor("http://LOCALHOST:" + std::to_string(builtin)), "http://LOCALHOST:" + std::to_string(mine));
  EXPECT_EQ(s.AddressFor("http://example.org:" + std::to_string(builtin) + "/a"),
            "http://example.org:" + std::to_string(builtin) + "/a");
  EXPECT_EQ(s.StoredFormOf(At(mine, "/songs/a.mp3")), At(builtin, "/songs/a.mp3"));
  EXPECT_TRUE(s.EnsureFor(At(builtin, "/y")));
  EXPECT_EQ(s.GetStartCount(), 1) << "one server for every search";
}

// The whole road: a search on the built-in engine and a song from our server.
TEST_F(SquattedPort, ATaskSearchesAndDownloadsFromOurServer) {
  IniWrite(Ini(), "FileType", "CurSel", ".MP3");
  IniWrite(Ini(), "Enginee", "CurSel", "1");
  IniWrite(Ini(), ".MP3", "Enginee1_head", At(options.nPort, "/cgi-bin/music/mp3.cgi?_searchkey="));
  IniWrite(Ini(), "Size", "MinSize", "0");
  IniWrite(Ini(), "Speed", "CheckSpeed", "0");
  auto app = StartApp();
  app->AddTasks("alpha");
  EXPECT_TRUE(WaitUntil([&] { return vtest::ReadFile(th.downloads() + "/alpha.mp3") == song; }, 60000));
  app->ExitSequence();
  const std::string log = vtest::ReadFile(options.strLogPath);
  EXPECT_NE(log.find("_searchkey"), std::string::npos) << "our own server was asked";
}

TEST_F(SquattedPort, AStoredAddressOnTheBuiltinPortGoesToOurServer) {
  ASSERT_TRUE(WriteRecords(th.home() + "/downing.dat", {MakeEntry("alpha", "", At(options.nPort, "/songs/alpha.mp3"))}));
  auto app = StartApp();
  app->AddTasks("alpha");
  EXPECT_TRUE(WaitUntil([&] { return vtest::ReadFile(th.downloads() + "/alpha.mp3") == song; }, 60000));
  app->ExitSequence();
  EXPECT_NE(vtest::ReadFile(options.strLogPath).find("/songs/alpha.mp3"), std::string::npos);
}

TEST_F(SquattedPort, WithoutAutoStartTheTaskSaysWhoHoldsThePort) {
  IniWrite(Ini(), "Server", "AutoStart", "0");
  ASSERT_TRUE(WriteRecords(th.home() + "/downing.dat", {MakeEntry("alpha", "", At(options.nPort, "/songs/alpha.mp3"))}));
  auto app = StartApp();
  app->AddTasks("alpha");
  // The entry keeps its address; the task says why it gave up.
  EXPECT_TRUE(WaitUntil([&] { return app->GetTaskDetails("alpha").m_bEnded; }, 30000));
  const TaskDetails d = app->GetTaskDetails("alpha");
  EXPECT_FALSE(d.m_bFinished);
  EXPECT_EQ(d.m_strEnding, T(txt::kBuiltinPortNotOurs));
  app->ExitSequence();
  EXPECT_EQ(app->GetBundledServer()->GetStartCount(), 0);
}

}  // namespace
