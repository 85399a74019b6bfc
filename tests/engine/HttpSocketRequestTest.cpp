// The request text, the header parsing and the connect step of CHttpSocket.
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "engine/http/HttpSocket.h"
#include "res/Texts.h"
#include "tests/support/CallbackLog.h"
#include "tests/support/Loopback.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

using vtest::Route;

const std::string kAgent = "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";

std::string Expected(const std::string& object, const std::string& host, const std::string& range) {
  return "GET " + object + " HTTP/1.1\r\nHost:" + host + "\r\nAccept:*/*\r\n" + kAgent +
         "Connection:Keep-Alive\r\n" + range + "\r\n";
}

void SetHeader(CHttpSocket& s, const std::string& h) {
  ASSERT_LE(h.size(), sizeof s.m_szHeader);
  std::memset(s.m_szHeader, 0, sizeof s.m_szHeader);
  std::memcpy(s.m_szHeader, h.data(), h.size());
  s.m_nHeaderLength = static_cast<int>(h.size());
}

TEST(HttpSocketRequest, WorkedExampleBytes) {
  CHttpSocket s(nullptr);
  ASSERT_TRUE(s.BuildRequest("H", "/a/b.mp3", nullptr, nullptr, 262144, 524287));
  EXPECT_EQ(std::string(s.m_szRequest), Expected("/a/b.mp3", "H", "Range: bytes=262144-524287\r\n"));
}

TEST(HttpSocketRequest, RangeLineRules) {
  CHttpSocket s(nullptr);
  // Start 0 never asks for a range, whatever the end.
  ASSERT_TRUE(s.BuildRequest("h", "/x", nullptr, nullptr, 0, 999));
  EXPECT_EQ(std::string(s.m_szRequest), Expected("/x", "h", ""));
  // A one-byte block at S: the end is not above the start, so the range is open.
  ASSERT_TRUE(s.BuildRequest("h", "/x", nullptr, nullptr, 777, 777));
  EXPECT_EQ(std::string(s.m_szRequest), Expected("/x", "h", "Range: bytes=777-\r\n"));
  // The range probe.
  ASSERT_TRUE(s.BuildRequest("h", "/x", nullptr, nullptr, 1, 0));
  EXPECT_EQ(std::string(s.m_szRequest), Expected("/x", "h", "Range: bytes=1-\r\n"));
}

TEST(HttpSocketRequest, RefererAndCookieLines) {
  CHttpSocket s(nullptr);
  ASSERT_TRUE(s.BuildRequest("h", "/x", "k=v", "http://r/", 0, 0));
  EXPECT_EQ(std::string(s.m_szRequest), "GET /x HTTP/1.1\r\nHost:h\r\nReferer:http://r/\r\nAccept:*/*\r\n" + kAgent +
                                            "Connection:Keep-Alive\r\nSet Cookie:0k=v\r\n\r\n");
}

TEST(HttpSocketRequest, BlanksAndControlBytesAreEscapedInTheRequestLine) {
  CHttpSocket s(nullptr);
  ASSERT_TRUE(s.BuildRequest("h", "/my song\x01.mp3?q=a b", nullptr, nullptr, 0, 0));
  std::string req = s.m_szRequest;
  EXPECT_EQ(req.substr(0, req.find("\r\n")), "GET /my%20song%01.mp3?q=a%20b HTTP/1.1");
}

TEST(HttpSocketRequest, TooLongRequestIsRefusedNeverCut) {
  vtest::CallbackLog log;
  CHttpSocket s(&log);
  log.Attach(s);
  const size_t base = Expected("/", "h", "").size() - 1;  // without the object's "/"
  // The buffer keeps one byte for the NUL: 1023 bytes of text fit.
  std::string fits = "/" + std::string(1023 - base - 1, 'a');
  ASSERT_TRUE(s.BuildRequest("h", fits, nullptr, nullptr, 0, 0));
  EXPECT_EQ(std::strlen(s.m_szRequest), 1023u);
  EXPECT_FALSE(s.BuildRequest("h", fits + "a", nullptr, nullptr, 0, 0));
  EXPECT_EQ(s.m_szRequest[0], '\0');
  EXPECT_TRUE(log.Has(txt::kSockRequestTooLong));
  EXPECT_FALSE(s.BuildRequest("h", "/" + std::string(5000, 'b'), nullptr, nullptr, 5, 9));
}

TEST(HttpSocketHeader, StatusCode) {
  CHttpSocket s(nullptr);
  SetHeader(s, "HTTP/1.1 206 Partial Content\r\n\r\n");
  EXPECT_EQ(s.GetStatusCode(), 206);
  SetHeader(s, "HTTP/1.1 20");
  EXPECT_EQ(s.GetStatusCode(), 0);
  SetHeader(s, "");
  EXPECT_EQ(s.GetStatusCode(), 0);
}

TEST(HttpSocketHeader, ValueLookup) {
  CHttpSocket s(nullptr);
  std::string v = "junk";
  SetHeader(s,
            "HTTP/1.1 200 OK\r\nX-Note: Content-Length: 5\r\nContent-Length-Extra: 9\r\n"
            "content-length:\t  7\r\nContent-Type:audio/mpeg\r\nEmpty:\r\nETag: \"abcdef\"\r\n\r\n");
  // A name inside another header's value, or a longer name, is not the header.
  EXPECT_EQ(s.GetHeaderValue("Content-Length", v, 256), 1);
  EXPECT_EQ(v, "7");
  EXPECT_EQ(s.GetHeaderValue("CONTENT-TYPE", v, 256), 10);
  EXPECT_EQ(v, "audio/mpeg");
  EXPECT_EQ(s.GetHeaderValue("Empty", v, 256), 0);
  EXPECT_EQ(v, "");
  EXPECT_EQ(s.GetHeaderValue("ETag", v, 3), 3);
  EXPECT_EQ(v, "\"ab");
  v = "junk";
  EXPECT_EQ(s.GetHeaderValue("Location", v, 256), -1);
  EXPECT_EQ(v, "");
  // The status line is not a header line.
  EXPECT_EQ(s.GetHeaderValue("HTTP/1.1 200 OK", v, 256), -1);
  // A value without its line end (a cut header) is empty.
  SetHeader(s, "HTTP/1.1 200 OK\r\nContent-Length: 12");
  EXPECT_EQ(s.GetHeaderValue("Content-Length", v, 256), 0);
  EXPECT_EQ(v, "");
}

class HttpSocketWire : public ::testing::Test {
 protected:
  void SetUp() override {
    ConTimeOut = 5;
    GetTimeOut = 15;
  }
  void TearDown() override {
    ConTimeOut = 5;
    GetTimeOut = 15;
  }
  vtest::TempHome m_home;
  vtest::ScriptedServer m_srv;
  vtest::CallbackLog m_log;
};

TEST_F(HttpSocketWire, BlockRequestGoesOutByteForByte) {
  const std::string body = vtest::RandomBytes(1048576, 3);
  m_srv.route("/a/b.mp3", Route::File(body));
  CHttpSocket s(&m_log);
  m_log.Attach(s);
  s.SetURL(m_srv.url("/a/b.mp3"));
  s.SetTempFile(m_home.temp() + "b.mp3-1.hpt");
  s.m_nIndex = 1;
  s.m_nStart = 262144;
  s.m_nLength = 262144;
  s.Run();
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  // The host line carries the name only, never the port.
  EXPECT_EQ(reqs[0].raw, Expected("/a/b.mp3", "127.0.0.1", "Range: bytes=262144-524287\r\n"));
  EXPECT_EQ(vtest::ReadFile(s.m_strTempFile), body.substr(262144, 262144));
  EXPECT_EQ(m_log.Successes(), std::vector<int>{1});
}

TEST_F(HttpSocketWire, HeaderEndsAtBlankLineAndBodyFollows) {
  m_srv.route("/f", Route::File("BODY"));
  CHttpSocket s(&m_log);
  ASSERT_TRUE(s.BuildRequest("127.0.0.1", "/f", nullptr, nullptr, 0, 0));
  ASSERT_TRUE(s.Connect("127.0.0.1", m_srv.port()));
  ASSERT_TRUE(s.SendRequest());
  std::string h(s.m_szHeader, s.m_nHeaderLength);
  EXPECT_EQ(h.substr(h.size() - 4), "\r\n\r\n");
  EXPECT_EQ(s.GetStatusCode(), 200);
  char b[8] = {};
  EXPECT_EQ(recv(s.m_socket, b, 4, MSG_WAITALL), 4);
  EXPECT_STREQ(b, "BODY");
  EXPECT_TRUE(s.Close());
  EXPECT_EQ(s.m_socket, 0);
  EXPECT_EQ(s.m_bConnected, 0);
  EXPECT_TRUE(s.Close());  // nothing held: still fine
}

TEST_F(HttpSocketWire, HeaderWithoutBlankLineWithin16KibFails) {
  Route r = Route::File("x");
  r.faults.headerNoBlankLine = true;
  m_srv.route("/f", r);
  CHttpSocket s(&m_log);
  m_log.Attach(s);
  ASSERT_TRUE(s.BuildRequest("127.0.0.1", "/f", nullptr, nullptr, 0, 0));
  ASSERT_TRUE(s.Connect("127.0.0.1", m_srv.port()));
  EXPECT_FALSE(s.SendRequest());
  EXPECT_EQ(s.m_nHeaderLength, 16 * 1024);
  EXPECT_TRUE(m_log.Has(txt::kSockHeaderTooLong));
  s.Close();
}

TEST_F(HttpSocketWire, SendWithoutConnectionFails) {
  CHttpSocket s(&m_log);
  ASSERT_TRUE(s.BuildRequest("127.0.0.1", "/f", nullptr, nullptr, 0, 0));
  EXPECT_FALSE(s.SendRequest());
}

TEST_F(HttpSocketWire, ConnectReusesOnlyTheSameHostAndPort) {
  vtest::ScriptedServer other;
  CHttpSocket s(&m_log);
  ASSERT_TRUE(s.Connect("127.0.0.1", m_srv.port()));
  const int fd = s.m_socket;
  EXPECT_TRUE(s.Connect("127.0.0.1", m_srv.port()));
  EXPECT_EQ(s.m_socket, fd);
  ASSERT_TRUE(s.Connect("127.0.0.1", other.port()));
  EXPECT_EQ(s.m_nPort, other.port());
  // Accepts are seen by the servers' own threads: give them a moment.
  for (int i = 0; i < 200 && other.connectionsAccepted() + m_srv.connectionsAccepted() < 2; ++i)
    usleep(10000);
  EXPECT_EQ(m_srv.connectionsAccepted(), 1);
  EXPECT_EQ(other.connectionsAccepted(), 1);
  s.Close();
}

TEST_F(HttpSocketWire, RefusedConnectFailsFastAndSaysWhy) {
  ConTimeOut = 5;
  CHttpSocket s(&m_log);
  m_log.Attach(s);
  const int port = vtest::UnusedLoopbackPort();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.Connect("127.0.0.1", port));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  const std::string why = "无法连接到服务器: 127.0.0.1:" + std::to_string(port) + "(Connection refused)";
  ASSERT_EQ(m_log.Messages().size(), 1u) << m_log.Dump();
  EXPECT_EQ(m_log.Messages()[0], T(why.c_str()));
  EXPECT_EQ(s.m_bConnected, 0);
  EXPECT_EQ(s.m_socket, 0);  // the failed attempt's socket is not kept
  EXPECT_TRUE(s.Close());
}

// A listener that never accepts, with its one-place queue already taken:
// further connects to it hang in the handshake.
class HangingListener {
 public:
  HangingListener() {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_fd, 0);
    socklen_t len = sizeof a;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_filler = socket(AF_INET, SOCK_STREAM, 0);
    connect(m_filler, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~HangingListener() {
    close(m_filler);
    close(m_fd);
  }
  int port() const { return m_port; }

 private:
  int m_fd, m_filler, m_port = 0;
};

TEST_F(HttpSocketWire, ConnectWaitIsBoundedByConTimeOut) {
  HangingListener h;
  ConTimeOut = 1;
  CHttpSocket s(&m_log);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.Connect("127.0.0.1", h.port()));
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(800));
  EXPECT_LT(took, std::chrono::seconds(4));
  s.Close();
}

TEST_F(HttpSocketWire, ZeroTimeOuts) {
  // A zero connect wait gives up at once on a handshake that is not done...
  HangingListener h;
  ConTimeOut = 0;
  CHttpSocket s(&m_log);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.Connect("127.0.0.1", h.port()));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  s.Close();
  // ...and a zero receive/send time-out means no limit at all.
  ConTimeOut = 5;
  GetTimeOut = 0;
  ASSERT_TRUE(s.Connect("127.0.0.1", m_srv.port()));
  timeval tv{1, 1};
  socklen_t len = sizeof tv;
  ASSERT_EQ(getsockopt(s.m_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_EQ(tv.tv_usec, 0);
  s.Close();
}

TEST_F(HttpSocketWire, AbortEndsTheConnectWait) {
  HangingListener h;
  ConTimeOut = 60;
  CHttpSocket s(&m_log);
  bool ok = true;
  std::thread t([&] { ok = s.Connect("127.0.0.1", h.port()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto t0 = std::chrono::steady_clock::now();
  s.Abort();
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_FALSE(ok);
  s.Close();
}

TEST_F(HttpSocketWire, HugeGetTimeOutSaturatesInsteadOfWrapping) {
  GetTimeOut = INT_MAX / 100;  // x1000 does not fit an int
  CHttpSocket s(&m_log);
  ASSERT_TRUE(s.Connect("127.0.0.1", m_srv.port()));
  timeval tv{};
  socklen_t len = sizeof tv;
  ASSERT_EQ(getsockopt(s.m_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, INT_MAX / 1000);
  len = sizeof tv;
  ASSERT_EQ(getsockopt(s.m_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, INT_MAX / 1000);
  s.Close();
}

TEST_F(HttpSocketWire, ReceiveTimeOutEndsAStalledHeader) {
  GetTimeOut = 1;
  Route r = Route::File("x");
  r.faults.stallMs = 20000;
  m_srv.route("/f", r);
  CHttpSocket s(&m_log);
  m_log.Attach(s);
  ASSERT_TRUE(s.BuildRequest("127.0.0.1", "/f", nullptr, nullptr, 0, 0));
  ASSERT_TRUE(s.Connect("127.0.0.1", m_srv.port()));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.SendRequest());  // no blank line, no answer
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_TRUE(m_log.Has(txt::kSockHeaderCut));
  EXPECT_EQ(s.m_nHeaderLength, 0);
  EXPECT_EQ(s.GetStatusCode(), 0);
  s.Close();
}

}  // namespace
