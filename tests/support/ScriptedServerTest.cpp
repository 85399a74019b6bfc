// The download tests trust this server's answers, so its own HTTP must be
// right: ranges, keep-alive, faults.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/Common.h"
#include "tests/support/Loopback.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

using vtest::Route;
using vtest::ScriptedServer;

class Client {
 public:
  explicit Client(int port) {
    m_fd = vtest::ConnectLoopback(port, 5000);
    EXPECT_GE(m_fd, 0);
  }
  ~Client() { close(m_fd); }
  void Send(const std::string& s) { ASSERT_EQ(send(m_fd, s.data(), s.size(), 0), (ssize_t)s.size()); }
  // Reads until n bytes arrived, the text ends with `until`, or the peer
  // closed.
  std::string Read(size_t n = SIZE_MAX, const std::string& until = "") {
    std::string out;
    char buf[4096];
    while (out.size() < n && (until.empty() || out.size() < until.size() ||
                              out.compare(out.size() - until.size(), until.size(), until) != 0)) {
      ssize_t k = recv(m_fd, buf, std::min(sizeof buf, n - out.size()), 0);
      if (k <= 0) break;
      out.append(buf, static_cast<size_t>(k));
    }
    return out;
  }

 private:
  int m_fd;
};

std::string Get(const std::string& target, const std::string& extra = "") {
  return "GET " + target + " HTTP/1.1\r\nHost:127.0.0.1\r\n" + extra + "\r\n";
}

TEST(ScriptedServer, FileRangesAndStatus) {
  ScriptedServer srv;
  srv.route("/f", Route::File("0123456789"));
  {
    Client c(srv.port());
    c.Send(Get("/f", "Range: bytes=2-4\r\nConnection: close\r\n"));
    std::string r = c.Read();
    EXPECT_EQ(r.rfind("HTTP/1.1 206", 0), 0u) << r;
    EXPECT_NE(r.find("Content-Range: bytes 2-4/10\r\n"), std::string::npos);
    EXPECT_EQ(r.substr(r.size() - 3), "234");
  }
  {
    Client c(srv.port());
    c.Send(Get("/f", "Range: bytes=10-\r\nConnection: close\r\n"));
    std::string r = c.Read();
    EXPECT_EQ(r.rfind("HTTP/1.1 416", 0), 0u) << r;
    EXPECT_NE(r.find("Content-Range: bytes */10\r\n"), std::string::npos);
  }
  {
    Client c(srv.port());
    c.Send(Get("/f", "Range: bytes=1-0\r\nConnection: close\r\n"));
    std::string r = c.Read();
    EXPECT_EQ(r.rfind("HTTP/1.1 200", 0), 0u) << r;
    EXPECT_EQ(r.substr(r.size() - 10), "0123456789");
  }
  auto reqs = srv.requestsFor("/f");
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].range, "bytes=2-4");
  EXPECT_EQ(reqs[0].method, "GET");
}

TEST(ScriptedServer, KeepAliveServesSeveralRequestsOnOneConnection) {
  ScriptedServer srv;
  srv.route("/a", Route::File("aaaa"));
  srv.route("/r", Route::Redirect(302, "/a"));
  Client c(srv.port());
  c.Send(Get("/r") + Get("/a"));
  std::string r = c.Read(SIZE_MAX, "aaaa");
  EXPECT_EQ(r.rfind("HTTP/1.1 302 Found\r\nLocation: /a\r\n", 0), 0u) << r;
  EXPECT_EQ(r.substr(r.size() - 4), "aaaa");
  auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].connection, reqs[1].connection);
}

TEST(ScriptedServer, FaultsCutFailAndStallAreBoundedByDestruction) {
  vtest::TempHome th;
  std::string body = vtest::RandomBytes(5000, 7);
  EXPECT_EQ(body, vtest::RandomBytes(5000, 7));
  ScriptedServer srv;
  Route cut = Route::File(body);
  cut.faults.closeAfterBodyBytes = 100;
  cut.faults.failFirst = 1;
  srv.route("/cut", cut);
  {
    Client c(srv.port());
    c.Send(Get("/cut", "Connection: close\r\n"));
    std::string r = c.Read();
    EXPECT_EQ(r.rfind("HTTP/1.1 503", 0), 0u) << r;
  }
  {
    Client c(srv.port());
    c.Send(Get("/cut"));
    std::string r = c.Read();
    EXPECT_NE(r.find("Content-Length: 5000\r\n"), std::string::npos);
    EXPECT_EQ(r.substr(r.find("\r\n\r\n") + 4), body.substr(0, 100));
  }
  ASSERT_TRUE(srv.waitIdle(5000));
  EXPECT_EQ(srv.bodyBytesSent("/cut"), 100);
  Route stall = Route::File(body);
  stall.faults.stallMs = 60000;
  srv.route("/stall", stall);
  auto t0 = std::chrono::steady_clock::now();
  {
    ScriptedServer s2;
    s2.route("/stall", stall);
    Client c(s2.port());
    c.Send(Get("/stall"));
    ASSERT_TRUE(s2.waitForRequests(1, 5000));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(ScriptedServer, PacingResetAndClose) {
  ScriptedServer srv;
  Route drip = Route::File(std::string(500, 'd'));
  drip.faults.dripBytes = 100;
  drip.faults.dripIntervalMs = 40;
  srv.route("/drip", drip);
  Route rate = Route::File(std::string(20000, 'r'));
  rate.faults.rateBytesPerSec = 50000;
  srv.route("/rate", rate);
  Route reset = Route::File(std::string(5000, 'x'));
  reset.faults.reset = true;
  reset.faults.closeAfterBodyBytes = 10;
  srv.route("/reset", reset);
  Route once = Route::File("abc");
  once.faults.closeAfterResponse = true;
  srv.route("/once", once);

  for (auto [path, atLeastMs] : {std::pair<std::string, int>{"/drip", 150}, {"/rate", 300}}) {
    auto t0 = std::chrono::steady_clock::now();
    Client c(srv.port());
    c.Send(Get(path, "Connection: close\r\n"));
    std::string r = c.Read();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(atLeastMs)) << path;
    EXPECT_EQ(r.size() - r.find("\r\n\r\n") - 4, path == "/drip" ? 500u : 20000u);
  }
  {
    Client c(srv.port());
    c.Send(Get("/reset"));
    std::string r = c.Read();
    EXPECT_EQ(r.substr(r.find("\r\n\r\n") + 4), std::string(10, 'x'));
  }
  {
    Client c(srv.port());
    c.Send(Get("/once"));
    std::string r = c.Read();  // ends because the server closes
    EXPECT_NE(r.find("Connection: close\r\n"), std::string::npos);
    EXPECT_EQ(r.substr(r.size() - 3), "abc");
  }
}

TEST(ScriptedServer, PastItsConnectionLimitAHostAnswersBusyOrRefusesTheConnection) {
  ScriptedServer srv;
  srv.route("/f", Route::File("0123456789"));
  vtest::ConnectionLimit lim;
  lim.maxOpen = 1;
  lim.status = 429;
  lim.retryAfter = "Sun, 06 Nov 1994 08:49:37 GMT";
  srv.setConnectionLimit(lim);
  Client first(srv.port());
  first.Send(Get("/f"));
  EXPECT_EQ(first.Read(SIZE_MAX, "0123456789").rfind("HTTP/1.1 200", 0), 0u);
  {
    Client second(srv.port());
    second.Send(Get("/f"));
    std::string r = second.Read();  // the busy answer closes the connection
    EXPECT_EQ(r.rfind("HTTP/1.1 429 Too Many Requests\r\n", 0), 0u) << r;
    EXPECT_NE(r.find("Retry-After: Sun, 06 Nov 1994 08:49:37 GMT\r\n"), std::string::npos) << r;
    EXPECT_NE(r.find("Connection: close\r\n"), std::string::npos) << r;
  }
  auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_FALSE(reqs[0].answeredBusy);
  EXPECT_TRUE(reqs[1].answeredBusy);
  EXPECT_LE(reqs[0].atMs, reqs[1].atMs);
  EXPECT_EQ(srv.peakOpenConnections(), 2);

  // The other way an overloaded host says no: the connection is reset at once.
  lim.closeAtConnect = true;
  srv.setConnectionLimit(lim);
  {
    // Nothing is sent: the reset may come before a send, which would then
    // raise SIGPIPE.
    Client third(srv.port());
    EXPECT_EQ(third.Read(), "");
  }
  EXPECT_EQ(srv.connectionsRefused(), 1);
  EXPECT_EQ(srv.requests().size(), 2u);
}

TEST(TempHome, SetsAndRestoresEnvironment) {
  std::string root;
  {
    vtest::TempHome th;
    root = th.root();
    EXPECT_EQ(std::string(getenv("VIRELOMP3_HOME")), th.home());
    EXPECT_EQ(std::string(getenv("TMPDIR")) + "/", th.tmpdir());
    EXPECT_EQ(GetTempDirectory(), th.temp());
    EXPECT_TRUE(vtest::WriteFile(th.downloads() + "/x", "abc"));
    EXPECT_EQ(vtest::ReadFile(th.downloads() + "/x"), "abc");
  }
  EXPECT_NE(access(root.c_str(), F_OK), 0);
}

}  // namespace
