// What a block socket puts on the wire and how it takes a reply's header,
// judged only by what the scripted server received, the block file and the
// texts reported.
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <memory>
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
using Clock = std::chrono::steady_clock;

const std::string kAgent = "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";

std::string Expected(const std::string& object, const std::string& host, const std::string& range) {
  return "GET " + object + " HTTP/1.1\r\nHost:" + host + "\r\nAccept:*/*\r\n" + kAgent +
         "Connection:Keep-Alive\r\n" + range + "\r\n";
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
  // A block socket as the job makes it.
  std::unique_ptr<CHttpSocket> Block(const std::string& url, int start, int length, int index = 1) {
    auto s = std::make_unique<CHttpSocket>(&m_log);
    s->SetURL(url);
    s->SetTempFile(Path(index));
    s->m_nIndex = index;
    s->m_nStart = start;
    s->m_nLength = length;
    return s;
  }
  std::string Path(int index) const { return m_home.temp() + "b.mp3-" + std::to_string(index) + ".hpt"; }

  vtest::TempHome m_home;
  vtest::ScriptedServer m_srv;
  vtest::CallbackLog m_log;
};

TEST_F(HttpSocketWire, BlockRequestGoesOutByteForByte) {
  const std::string body = vtest::RandomBytes(1048576, 3);
  m_srv.route("/a/b.mp3", Route::File(body));
  auto s = Block(m_srv.url("/a/b.mp3"), 262144, 262144);
  s->Run();
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  // The host line carries the name only, never the port.
  EXPECT_EQ(reqs[0].raw, Expected("/a/b.mp3", "127.0.0.1", "Range: bytes=262144-524287\r\n"));
  EXPECT_EQ(vtest::ReadFile(Path(1)), body.substr(262144, 262144));
  EXPECT_EQ(m_log.Successes(), std::vector<int>{1});
}

TEST_F(HttpSocketWire, RangeLinesOfBlocksAndOfTheRangeProbe) {
  const std::string body = vtest::RandomBytes(5000, 4);
  m_srv.route("/x", Route::File(body));
  // A block from byte 0 never asks for a range.
  auto first = Block(m_srv.url("/x"), 0, 2500, 0);
  first->Run();
  // A one-byte block: the end is not above the start, so the range is open.
  auto one = Block(m_srv.url("/x"), 777, 1, 3);
  one->Run();
  EXPECT_EQ(vtest::ReadFile(Path(0)), body.substr(0, 2500));
  EXPECT_EQ(vtest::ReadFile(Path(3)), body.substr(777, 1));
  // The file information: a plain request, then the range probe from byte 1.
  CHttpSocket info(&m_log);
  std::string url = m_srv.url("/x");
  int length = 0;
  bool ranged = false;
  ASSERT_TRUE(CHttpSocket::GetFileInfo(&info, url, length, ranged));
  info.Close();
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[0].raw, Expected("/x", "127.0.0.1", ""));
  EXPECT_EQ(reqs[1].raw, Expected("/x", "127.0.0.1", "Range: bytes=777-\r\n"));
  EXPECT_EQ(reqs[2].raw, Expected("/x", "127.0.0.1", ""));
  EXPECT_EQ(reqs[3].raw, Expected("/x", "127.0.0.1", "Range: bytes=1-\r\n"));
}

TEST_F(HttpSocketWire, BlanksInTheAddressAreEscapedOnTheRequestLine) {
  const std::string body = vtest::RandomBytes(300, 5);
  m_srv.route("/my%20song.mp3?q=a%20b", Route::File(body));
  auto s = Block(m_srv.url("/my song.mp3?q=a b"), 0, 300);
  s->Run();
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].raw.substr(0, reqs[0].raw.find("\r\n")), "GET /my%20song.mp3?q=a%20b HTTP/1.1");
  EXPECT_EQ(vtest::ReadFile(Path(1)), body);
}

TEST_F(HttpSocketWire, ARequestOfMoreThan1023BytesIsRefusedNeverCut) {
  const std::string body = vtest::RandomBytes(100, 6);
  // The longest path whose request still fits: 1023 bytes of text.
  const size_t base = Expected("/", "127.0.0.1", "").size() - 1;
  const std::string longest = "/" + std::string(1023 - base - 1, 'a');
  Route r = Route::File(body);
  r.prefix = true;
  m_srv.route("/a", r);
  auto s = Block(m_srv.url(longest), 0, 100);
  s->Run();
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].raw.size(), 1023u);
  EXPECT_EQ(reqs[0].raw, Expected(longest, "127.0.0.1", ""));
  EXPECT_FALSE(m_log.Has(txt::kSockRequestTooLong));
  // One byte more and nothing goes out.
  m_srv.clearRequests();
  auto t = Block(m_srv.url(longest + "a"), 0, 100, 2);
  t->Run();
  EXPECT_TRUE(m_log.Has(txt::kSockRequestTooLong));
  EXPECT_EQ(m_log.Failures(), std::vector<int>{2});
  EXPECT_TRUE(m_srv.requests().empty());
}

// A raw reply of exactly `size` header bytes, then the body "BODY".
std::string HeaderOf(size_t size) {
  std::string h = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nX-Pad: ";
  h += std::string(size - h.size() - 4, 'p');
  return h + "\r\n\r\n";
}

TEST_F(HttpSocketWire, AHeaderMayTake16KibAndNoMore) {
  m_srv.route("/f", Route::Raw(HeaderOf(16 * 1024) + "BODY"));
  auto s = Block(m_srv.url("/f"), 0, 4);
  s->Run();
  EXPECT_EQ(vtest::ReadFile(Path(1)), "BODY");
  EXPECT_EQ(m_log.Successes(), std::vector<int>{1});
  EXPECT_FALSE(m_log.Has(txt::kSockHeaderTooLong));

  m_srv.route("/g", Route::Raw(HeaderOf(16 * 1024 + 1) + "BODY"));
  auto t = Block(m_srv.url("/g"), 0, 4, 2);
  t->m_nRetries = 1;
  t->Run();
  EXPECT_TRUE(m_log.Has(txt::kSockHeaderTooLong));
  EXPECT_EQ(m_log.Failures(), std::vector<int>{2});
  EXPECT_EQ(vtest::ReadFile(Path(2)), "");
}

TEST_F(HttpSocketWire, AKeptConnectionCarriesOnlyRequestsToItsOwnHostAndPort) {
  const std::string body = vtest::RandomBytes(6000, 7);
  m_srv.route("/x", Route::File(body));
  vtest::ScriptedServer other;
  other.route("/x", Route::File(body));
  // A block that ends exactly at its reply's end leaves the connection
  // fit for the next block of the same host...
  auto a = Block(m_srv.url("/x"), 1000, 1000, 1);
  a->Run();
  auto b = Block(m_srv.url("/x"), 3000, 1000, 2);
  b->AdoptConnection(*a);
  b->Run();
  // ...and a block of another port connects afresh.
  auto c = Block(other.url("/x"), 4000, 1000, 3);
  c->AdoptConnection(*b);
  c->Run();
  c->Close();
  EXPECT_EQ(m_log.Successes(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(vtest::ReadFile(Path(2)), body.substr(3000, 1000));
  EXPECT_EQ(vtest::ReadFile(Path(3)), body.substr(4000, 1000));
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].connection, reqs[1].connection);
  EXPECT_EQ(m_srv.connectionsAccepted(), 1);
  ASSERT_EQ(other.requests().size(), 1u);
  EXPECT_EQ(other.connectionsAccepted(), 1);
  // A block whose reply went on past its end leaves nothing to adopt.
  auto d = Block(m_srv.url("/x"), 0, 1000, 4);
  d->Run();
  auto e = Block(m_srv.url("/x"), 5000, 1000, 5);
  e->AdoptConnection(*d);
  e->Run();
  EXPECT_EQ(m_srv.connectionsAccepted(), 3);
}

TEST_F(HttpSocketWire, ARefusedConnectFailsAndSaysWhy) {
  ConTimeOut = 60;
  const int port = vtest::UnusedLoopbackPort();
  auto s = Block("http://127.0.0.1:" + std::to_string(port) + "/x", 0, 100);
  const auto t0 = Clock::now();
  s->Run();
  // A refusal does not wait for the connect time-out.
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(30));
  const std::string why = "无法连接到服务器: 127.0.0.1:" + std::to_string(port) + "(Connection refused)";
  EXPECT_TRUE(m_log.Has(why.c_str())) << m_log.Dump();
  EXPECT_EQ(m_log.Failures(), std::vector<int>{1});
  EXPECT_TRUE(s->Close());
  EXPECT_TRUE(s->Close()) << "nothing held: still fine";
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
  std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/x"; }

 private:
  int m_fd, m_filler, m_port = 0;
};

TEST_F(HttpSocketWire, TheConnectWaitIsBoundedByConTimeOut) {
  HangingListener h;
  ConTimeOut = 1;
  auto s = Block(h.url(), 0, 100);
  s->m_nRetries = 1;
  const auto t0 = Clock::now();
  s->Run();
  const auto took = Clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(800));
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(m_log.Failures(), std::vector<int>{1});
}

TEST_F(HttpSocketWire, ZeroTimeOuts) {
  // A zero connect wait gives up at once on a handshake that is not done
  // (not after the default five seconds)...
  HangingListener h;
  ConTimeOut = 0;
  auto s = Block(h.url(), 0, 100);
  s->m_nRetries = 1;
  const auto t0 = Clock::now();
  s->Run();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(m_log.Failures(), std::vector<int>{1});
  // ...and a zero receive/send time-out means no limit at all.
  ConTimeOut = 5;
  GetTimeOut = 0;
  const std::string body = vtest::RandomBytes(100, 8);
  Route r = Route::File(body);
  r.faults.headerDelayMs = 1200;
  m_srv.route("/slow", r);
  auto t = Block(m_srv.url("/slow"), 0, 100, 2);
  t->m_nRetries = 1;
  t->Run();
  EXPECT_EQ(m_log.Successes(), std::vector<int>{2});
  EXPECT_EQ(vtest::ReadFile(Path(2)), body);
}

TEST_F(HttpSocketWire, AbortEndsTheConnectWait) {
  HangingListener h;
  ConTimeOut = 60;
  auto s = Block(h.url(), 0, 100);
  std::thread t([&] { s->Run(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto t0 = Clock::now();
  s->Abort();
  t.join();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  // A stopped block answers neither way.
  EXPECT_TRUE(m_log.Successes().empty());
  EXPECT_TRUE(m_log.Failures().empty());
}

TEST_F(HttpSocketWire, AHugeGetTimeOutSaturatesInsteadOfWrapping) {
  GetTimeOut = INT_MAX / 100;  // x1000 does not fit an int
  const std::string body = vtest::RandomBytes(100, 9);
  Route r = Route::File(body);
  r.faults.headerDelayMs = 300;
  m_srv.route("/slow", r);
  auto s = Block(m_srv.url("/slow"), 0, 100);
  s->m_nRetries = 1;
  s->Run();
  EXPECT_EQ(m_log.Successes(), std::vector<int>{1}) << m_log.Dump();
  EXPECT_EQ(vtest::ReadFile(Path(1)), body);
}

TEST_F(HttpSocketWire, TheReceiveTimeOutEndsAStalledHeader) {
  GetTimeOut = 1;
  Route r = Route::File("x");
  r.faults.stallMs = 20000;
  m_srv.route("/f", r);
  auto s = Block(m_srv.url("/f"), 0, 1);
  s->m_nRetries = 1;
  const auto t0 = Clock::now();
  s->Run();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
  EXPECT_TRUE(m_log.Has(txt::kSockHeaderCut));
  EXPECT_EQ(m_log.Failures(), std::vector<int>{1});
  EXPECT_EQ(vtest::ReadFile(Path(1)), "");
}

}  // namespace
