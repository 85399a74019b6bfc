// Parameters a server wants on every request: where they go, where they
// must not go, and that every request line gets a fresh set.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "engine/http/HttpSocket.h"
#include "engine/http/RequestAuth.h"
#include "engine/http/Url.h"
#include "tests/support/CallbackLog.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

using vtest::Route;

class RequestAuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CRequestAuth::Clear();
    ConTimeOut = 5;
    GetTimeOut = 5;
  }
  void TearDown() override {
    CRequestAuth::Clear();
    GetTimeOut = 15;
  }
  // Registers "k=<n>" with n counting the requests that asked.
  void Count(const std::string& prefix) {
    CRequestAuth::Register(prefix, [this] { return "k=" + std::to_string(++m_made); });
  }
  std::atomic<int> m_made{0};
};

TEST_F(RequestAuthTest, OnlyASongOfTheRegisteredPlaceGetsThem) {
  Count("HTTP://Music.Home:4533/rest/");
  EXPECT_EQ(CRequestAuth::Decorate("music.home", 4533, "/rest/download.view?id=1"),
            "/rest/download.view?id=1&k=1");
  EXPECT_EQ(CRequestAuth::Decorate("MUSIC.HOME", 4533, "/rest/stream.view?id=a%2Fb"),
            "/rest/stream.view?id=a%2Fb&k=2");
  // Any other call of the API may change something on the server, and a
  // page's link may name any of them; a song with more in its query too.
  for (const char* other :
       {"/rest/changePassword.view?username=u&password=x&y=.mp3", "/rest/createUser.view?username=x&adminRole=true",
        "/rest/deleteUser.view?username=u", "/rest/download.view?id=1&x=.mp3", "/rest/download.view?id=1&u=x",
        "/rest/download.view", "/rest/download.view?id=", "/rest/download.view?id=1#x",
        "/rest/download.view?username=u", "/rest/../rest/changePassword.view?id=1", "/rest/a/download.view?id=1",
        "/rest/ping.view", "/rest/search3.view?query=x"})
    EXPECT_EQ(CRequestAuth::Decorate("music.home", 4533, other), other);
  // Another port, host, path or a look-alike prefix gets nothing either.
  EXPECT_EQ(CRequestAuth::Decorate("music.home", 80, "/rest/download.view?id=1"), "/rest/download.view?id=1");
  EXPECT_EQ(CRequestAuth::Decorate("music.home.evil", 4533, "/rest/download.view?id=1"),
            "/rest/download.view?id=1");
  EXPECT_EQ(CRequestAuth::Decorate("music.home", 4533, "/restless/download.view?id=1"),
            "/restless/download.view?id=1");
  EXPECT_EQ(m_made.load(), 2) << "a maker was asked for a request that gets nothing";
}

// What an https server is given never goes out over plain http: not to
// its own host and port, and not the other way round either.
TEST_F(RequestAuthTest, AnHttpsServersParametersGoOnlyToHttpsRequests) {
  Count("https://music.home:8443/rest/");
  UrlParts secure;
  secure.host = "Music.Home";
  secure.port = 8443;
  secure.secure = true;
  secure.object = "/rest/download.view?id=1";
  EXPECT_EQ(CRequestAuth::Decorate(secure), "/rest/download.view?id=1&k=1");
  UrlParts plain = secure;
  plain.secure = false;
  EXPECT_EQ(CRequestAuth::Decorate(plain), "/rest/download.view?id=1");
  EXPECT_EQ(CRequestAuth::Decorate("music.home", 8443, "/rest/download.view?id=1"), "/rest/download.view?id=1");
  EXPECT_EQ(m_made.load(), 1);
  // An http server of the same place is a registration of its own.
  CRequestAuth::Register("http://music.home:8443/rest/", [] { return std::string("plain=1"); });
  EXPECT_EQ(CRequestAuth::Decorate(plain), "/rest/download.view?id=1&plain=1");
  EXPECT_EQ(CRequestAuth::Decorate(secure), "/rest/download.view?id=1&k=2");
  CRequestAuth::Unregister("https://music.home:8443/rest/");
  EXPECT_EQ(CRequestAuth::Decorate(secure), "/rest/download.view?id=1");
  EXPECT_EQ(CRequestAuth::Decorate(plain), "/rest/download.view?id=1&plain=1");
}

TEST_F(RequestAuthTest, LongestPrefixWinsAndRegistrationsCanBeReplacedOrDropped) {
  CRequestAuth::Register("http://h/", [] { return std::string("a=1"); });
  CRequestAuth::Register("http://h/music/rest/", [] { return std::string("b=2"); });
  EXPECT_EQ(CRequestAuth::Decorate("h", 80, "/music/rest/download.view?id=1"), "/music/rest/download.view?id=1&b=2");
  EXPECT_EQ(CRequestAuth::Decorate("h", 80, "/download.view?id=1"), "/download.view?id=1&a=1");
  CRequestAuth::Register("http://h:80/music/rest/", [] { return std::string("c=3"); });
  EXPECT_EQ(CRequestAuth::Decorate("h", 80, "/music/rest/download.view?id=1"), "/music/rest/download.view?id=1&c=3");
  CRequestAuth::Unregister("http://h/music/rest/");
  EXPECT_EQ(CRequestAuth::Decorate("h", 80, "/music/rest/download.view?id=1"), "/music/rest/download.view?id=1");
  EXPECT_FALSE(CRequestAuth::Register("ftp://h/", [] { return std::string("x"); }));
  EXPECT_FALSE(CRequestAuth::Register("http://h/", nullptr));
  // A maker with nothing to add leaves the request alone.
  CRequestAuth::Register("http://h/", [] { return std::string(); });
  EXPECT_EQ(CRequestAuth::Decorate("h", 80, "/download.view?id=1"), "/download.view?id=1");
}

TEST_F(RequestAuthTest, EveryRequestOfInfoProbeAndBlockGetsItsOwnParameters) {
  vtest::TempHome home;
  vtest::ScriptedServer srv;
  const std::string body = vtest::RandomBytes(3000, 3);
  Route r = Route::File(body);
  r.prefix = true;
  // The block's first attempt is cut: its second asks with parameters of
  // its own, made from the caller's address, not from the first request's.
  vtest::Faults cut;
  cut.closeAfterBodyBytes = 500;
  cut.onlyFirst = 1;
  r.rangeFaults["bytes=1000-2999"] = cut;
  srv.route("/rest/download.view", r);
  Count(srv.url("/rest/"));
  const std::string link = srv.url("/rest/download.view?id=9");

  vtest::CallbackLog log;
  CHttpSocket s(&log);
  std::string url = link;
  int length = -1;
  bool ranged = false;
  ASSERT_TRUE(CHttpSocket::GetFileInfo(&s, url, length, ranged)) << log.Dump();
  EXPECT_EQ(url, link);  // the caller's address stays without them
  EXPECT_EQ(length, 3000);
  s.Close();
  int parseMs, headerMs, reconnectMs, size;
  std::string type;
  ASSERT_TRUE(s.ProbeSpeed(link, parseMs, headerMs, reconnectMs, size, type));

  CHttpSocket block(&log);
  block.SetURL(link);
  block.SetTempFile(home.temp() + "b.hpt");
  block.m_nStart = 1000;
  block.m_nLength = 2000;
  block.m_bResume = 1;
  block.Run();
  block.Close();
  EXPECT_EQ(vtest::ReadFile(home.temp() + "b.hpt"), body.substr(1000));

  const auto reqs = srv.requests();
  ASSERT_GE(reqs.size(), 6u);
  EXPECT_EQ(reqs.back().range, "bytes=1500-2999");
  std::set<std::string> seen;
  for (const auto& q : reqs) {
    EXPECT_EQ(q.target.rfind("/rest/download.view?id=9&k=", 0), 0u) << q.target;
    EXPECT_EQ(q.target.find("k=", q.target.find("k=") + 1), std::string::npos) << q.target;
    seen.insert(q.target);
  }
  EXPECT_EQ(seen.size(), reqs.size()) << "a request reused another's parameters";
}

TEST_F(RequestAuthTest, ARedirectElsewhereDoesNotCarryThem) {
  vtest::ScriptedServer music, other;
  other.route("/f.mp3", Route::File(vtest::RandomBytes(500, 4)));
  Route away = Route::Redirect(302, other.url("/f.mp3"));
  away.prefix = true;
  music.route("/rest/download.view", away);
  Count(music.url("/rest/"));
  vtest::CallbackLog log;
  CHttpSocket s(&log);
  std::string url = music.url("/rest/download.view?id=1");
  int length = -1;
  bool ranged = false;
  ASSERT_TRUE(CHttpSocket::GetFileInfo(&s, url, length, ranged));
  s.Close();
  EXPECT_EQ(url, other.url("/f.mp3"));
  for (const auto& q : other.requests()) EXPECT_EQ(q.target, "/f.mp3");
  ASSERT_FALSE(music.requests().empty());
  EXPECT_NE(music.requests()[0].target.find("&k="), std::string::npos);
}

TEST_F(RequestAuthTest, ARedirectBackToTheServerItselfDoesNotCarryThemEither) {
  // A song host (or the server's own link) sends the client to a song of
  // the server: whoever answered chose the address, so it goes bare, in the
  // file information, the probe and every block that follows.
  vtest::TempHome home;
  vtest::ScriptedServer music;
  const std::string body = vtest::RandomBytes(3000, 5);
  Route file = Route::File(body);
  file.prefix = true;
  music.route("/rest/download.view", file);
  Route hop = Route::Redirect(302, music.url("/rest/download.view?id=2"));
  hop.prefix = true;
  music.route("/rest/stream.view", hop);
  Count(music.url("/rest/"));
  vtest::CallbackLog log;
  CHttpSocket s(&log);
  std::string url = music.url("/rest/stream.view?id=1");
  int length = -1;
  bool ranged = false;
  ASSERT_TRUE(CHttpSocket::GetFileInfo(&s, url, length, ranged)) << log.Dump();
  s.Close();
  EXPECT_EQ(url, music.url("/rest/download.view?id=2"));
  int parseMs, headerMs, reconnectMs, size;
  std::string type;
  ASSERT_TRUE(s.ProbeSpeed(music.url("/rest/stream.view?id=1"), parseMs, headerMs, reconnectMs, size, type));
  for (const auto& q : music.requests()) {
    if (q.target.rfind("/rest/stream.view", 0) == 0) EXPECT_NE(q.target.find("&k="), std::string::npos);
    else EXPECT_EQ(q.target, "/rest/download.view?id=2");
  }
}

}  // namespace
