// Clients that send their header slowly, never finish it, or send too much
// of it: none of them holds the server from an ordinary request.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/server/ServerHarness.h"

using namespace harness;

namespace {

class SlowClientTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    AddSong("ok.mp3", 100);
  }
  static std::string Lines(int n, size_t width) {
    std::string h;
    for (int i = 0; i < n; ++i) h += "X-H" + std::to_string(i) + ": " + std::string(width, 'c') + "\r\n";
    return h;
  }
};

TEST_F(SlowClientTest, TwoHundredTricklingClientsLeaveRoomForAnOrdinaryRequest) {
  StartServer();
  std::vector<int> slow;
  for (int i = 0; i < 200; ++i) {
    const int fd = vtest::ConnectLoopback(m_port, 2000);
    if (fd < 0) continue;
    send(fd, "GET /songs/ok.mp3 HTTP/1.1\r\n", 28, MSG_NOSIGNAL);
    slow.push_back(fd);
  }
  ASSERT_EQ(slow.size(), 200u);
  std::atomic<bool> done{false};
  // A byte now and then: each is within any per-read time-out.
  std::thread trickle([&] {
    for (int round = 0; round < 40 && !done; ++round) {
      for (int fd : slow) send(fd, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      for (int i = 0; i < 10 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  // Generous: far above what a request takes, far below what the old pool
  // made it wait.
  const Reply r = ParseReply(
      SendRaw(m_port, "GET /songs/ok.mp3 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 5000));
  done = true;
  trickle.join();
  for (int fd : slow) close(fd);
  EXPECT_EQ(r.status, 200);
}

TEST_F(SlowClientTest, AHeaderHasAtMostAHundredLinesAndSixteenKilobytes) {
  StartServer();
  // Host and Connection are two of them.
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3", Lines(98, 20)).status, 200);
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3", Lines(99, 20)).status, 431);
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3", Lines(3000, 0)).status, 431);
  // Lines each within the library's own bound, together over ours.
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3", Lines(2, 7000)).status, 200);
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3", Lines(3, 7000)).status, 431);
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3").status, 200);
}

TEST_F(SlowClientTest, AHeaderThatNeverEndsIsCutOffInTime) {
  m_headerSeconds = 1;
  StartServer();
  const int fd = vtest::ConnectLoopback(m_port, 2000);
  ASSERT_GE(fd, 0);
  send(fd, "GET /songs/ok.mp3 HTTP/1.1\r\n", 28, MSG_NOSIGNAL);
  // A byte every 100 ms, for at most 10 s: no single read ever waits long.
  bool cut = false;
  for (int i = 0; i < 100 && !cut; ++i) {
    if (send(fd, "X", 1, MSG_NOSIGNAL) != 1) cut = true;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) == 1) {
      char buf[256];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      cut = n <= 0 || std::string(buf, static_cast<size_t>(n)).find(" 408 ") != std::string::npos;
    }
  }
  close(fd);
  EXPECT_TRUE(cut);
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3").status, 200);
}

}  // namespace
