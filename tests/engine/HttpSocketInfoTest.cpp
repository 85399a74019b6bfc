// GetFileInfo and ProbeSpeed: lengths, range support, redirects.
#include <chrono>
#include <cstdio>

#include <gtest/gtest.h>

#include "engine/http/HttpSocket.h"
#include "res/Texts.h"
#include "tests/support/CallbackLog.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

using vtest::Route;

class HttpSocketInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    ConTimeOut = 5;
    GetTimeOut = 5;
    m_body = vtest::RandomBytes(4321, 5);
  }
  void TearDown() override {
    m_sock.Close();
    GetTimeOut = 15;
  }
  bool Info(std::string& url) { return CHttpSocket::GetFileInfo(&m_sock, url, m_length, m_ranged); }

  vtest::TempHome m_home;
  vtest::ScriptedServer m_srv;
  vtest::CallbackLog m_log;
  CHttpSocket m_sock{&m_log};
  std::string m_body;
  int m_length = -1;
  bool m_ranged = false;
};

TEST_F(HttpSocketInfo, LengthRangeSupportAndTag) {
  Route r = Route::File(m_body);
  r.etag = "\"v1\"";
  r.lastModified = "Mon, 07 Dec 2026 10:00:00 GMT";
  m_srv.route("/a.mp3", r);
  std::string url = m_srv.url("/a.mp3");
  ASSERT_TRUE(Info(url)) << m_log.Dump();
  EXPECT_EQ(url, m_srv.url("/a.mp3"));
  EXPECT_EQ(m_length, 4321);
  EXPECT_TRUE(m_ranged);
  EXPECT_EQ(m_log.Lengths(), std::vector<int>{4321});
  EXPECT_EQ(m_sock.Validator(), "\"v1\"");
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].range, "");
  EXPECT_EQ(reqs[1].range, "bytes=1-");
}

TEST_F(HttpSocketInfo, ValidatorFallsBackToLastModifiedThenNothing) {
  Route r = Route::File(m_body);
  r.lastModified = "Mon, 07 Dec 2026 10:00:00 GMT";
  m_srv.route("/a", r);
  m_srv.route("/b", Route::File(m_body));
  std::string url = m_srv.url("/a");
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(m_sock.Validator(), "Mon, 07 Dec 2026 10:00:00 GMT");
  url = m_srv.url("/b");
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(m_sock.Validator(), "");
}

TEST_F(HttpSocketInfo, ServerWithoutRanges) {
  Route r = Route::File(m_body);
  r.faults.ignoreRange = true;
  m_srv.route("/a", r);
  std::string url = m_srv.url("/a");
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(m_length, 4321);
  EXPECT_FALSE(m_ranged);
}

TEST_F(HttpSocketInfo, MissingContentLengthIsTakenFromTheRangeTotalElseUnknown) {
  Route r = Route::File(m_body);
  r.faults.noContentLength = true;
  m_srv.route("/a", r);
  std::string url = m_srv.url("/a");
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(m_length, 4321);
  EXPECT_EQ(m_log.Lengths(), std::vector<int>{4321});
  r.faults.ignoreRange = true;  // no total anywhere: unknown, not zero
  m_srv.route("/a", r);
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(m_length, -1);
  EXPECT_FALSE(m_ranged);
  EXPECT_EQ(m_log.Lengths(), std::vector<int>{4321}) << "no length to report";
}

TEST_F(HttpSocketInfo, LengthBeyond32BitsFailsWithAText) {
  Route r = Route::File(m_body);
  r.faults.contentLengthOverride = "5000000000";
  m_srv.route("/a", r);
  std::string url = m_srv.url("/a");
  EXPECT_FALSE(Info(url));
  EXPECT_TRUE(m_log.Has(txt::kSockLengthTooLarge));
  EXPECT_TRUE(m_log.Lengths().empty());
  // The largest length that fits still passes (no range total to differ).
  r.faults.contentLengthOverride = "2147483647";
  r.faults.ignoreRange = true;
  m_srv.route("/a", r);
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(m_length, 2147483647);
}

TEST_F(HttpSocketInfo, ErrorReplyIsNotTheFilesLength) {
  // The page comes first, then the server behaves: its 17 bytes must not
  // become the song's length.
  Route r = Route::File(m_body);
  m_srv.route("/a", Route::Raw("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 17\r\n\r\nplease come back."));
  std::string url = m_srv.url("/a");
  EXPECT_FALSE(Info(url));
  EXPECT_TRUE(m_log.Lengths().empty());
  char text[128];
  std::snprintf(text, sizeof text, txt::kSockFileRefused, 500);
  EXPECT_TRUE(m_log.Has(text)) << m_log.Dump();
  m_srv.route("/a", r);
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(m_length, 4321);
}

TEST_F(HttpSocketInfo, OversizedHeaderFails) {
  Route r = Route::File(m_body);
  r.faults.headerNoBlankLine = true;
  m_srv.route("/a", r);
  std::string url = m_srv.url("/a");
  EXPECT_FALSE(Info(url));
  EXPECT_TRUE(m_log.Has(txt::kSockHeaderTooLong));
}

TEST_F(HttpSocketInfo, UnreachableOrUnsplittableAddressFails) {
  std::string url = "http://127.0.0.1:1/x";
  EXPECT_FALSE(Info(url));
  url = "http:///x";
  EXPECT_FALSE(Info(url));
  EXPECT_TRUE(m_log.Has(txt::kSockBadUrl));
}

TEST_F(HttpSocketInfo, SameHostRedirectReusesTheConnection) {
  m_srv.route("/old", Route::Redirect(302, m_srv.url("/new.mp3")));
  m_srv.route("/new.mp3", Route::File(m_body));
  std::string url = m_srv.url("/old");
  ASSERT_TRUE(Info(url)) << m_log.Dump();
  EXPECT_EQ(url, m_srv.url("/new.mp3"));
  EXPECT_EQ(m_length, 4321);
  EXPECT_TRUE(m_ranged);
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[1].target, "/new.mp3");
  EXPECT_EQ(reqs[0].connection, reqs[1].connection);
  EXPECT_NE(reqs[1].connection, reqs[2].connection);
  EXPECT_EQ(reqs[2].target, "/new.mp3");
}

TEST_F(HttpSocketInfo, RelativeLocationIsResolvedAgainstTheRequest) {
  m_srv.route("/dir/a.mp3", Route::Redirect(301, "b.mp3"));
  m_srv.route("/dir/b.mp3", Route::File(m_body));
  std::string url = m_srv.url("/dir/a.mp3");
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(url, m_srv.url("/dir/b.mp3"));
  EXPECT_EQ(m_length, 4321);
}

TEST_F(HttpSocketInfo, RedirectToAnotherServer) {
  vtest::ScriptedServer mirror;
  mirror.route("/m.mp3", Route::File(m_body));
  m_srv.route("/a", Route::Redirect(302, mirror.url("/m.mp3")));
  std::string url = m_srv.url("/a");
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(url, mirror.url("/m.mp3"));
  EXPECT_EQ(mirror.requests().size(), 2u);
  EXPECT_TRUE(m_ranged);
}

TEST_F(HttpSocketInfo, SecondRedirectIsTheAnswer) {
  Route second = Route::Redirect(302, "/c");
  second.redirectBodySize = 17;
  m_srv.route("/a", Route::Redirect(302, "/b"));
  m_srv.route("/b", second);
  m_srv.route("/c", Route::File(m_body));
  std::string url = m_srv.url("/a");
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(url, m_srv.url("/b"));
  EXPECT_EQ(m_length, 17);
  EXPECT_TRUE(m_srv.requestsFor("/c").empty());
}

TEST_F(HttpSocketInfo, RedirectBodyIsReadOffTheHeldConnection) {
  Route r = Route::Redirect(302, "/f");
  r.redirectBodySize = 3000;
  m_srv.route("/a", r);
  m_srv.route("/f", Route::File(m_body));
  std::string url = m_srv.url("/a");
  ASSERT_TRUE(Info(url)) << m_log.Dump();
  EXPECT_EQ(m_length, 4321);
  auto reqs = m_srv.requests();
  ASSERT_GE(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].connection, reqs[1].connection);
}

TEST_F(HttpSocketInfo, LargeRedirectBodyGetsAFreshConnection) {
  Route r = Route::Redirect(302, "/f");
  r.redirectBodySize = 200000;
  m_srv.route("/a", r);
  m_srv.route("/f", Route::File(m_body));
  std::string url = m_srv.url("/a");
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(m_length, 4321);
  auto reqs = m_srv.requests();
  ASSERT_GE(reqs.size(), 2u);
  EXPECT_NE(reqs[0].connection, reqs[1].connection);
}

TEST_F(HttpSocketInfo, RedirectWithConnectionCloseStillWorks) {
  Route r = Route::Redirect(302, "/f");
  r.redirectClose = true;
  m_srv.route("/a", r);
  m_srv.route("/f", Route::File(m_body));
  std::string url = m_srv.url("/a");
  ASSERT_TRUE(Info(url)) << m_log.Dump();
  EXPECT_EQ(m_length, 4321);
}

TEST_F(HttpSocketInfo, HeldConnectionClosedUnannouncedIsReconnectedOnce) {
  // Says nothing about closing, then closes anyway.
  m_srv.route("/a", Route::Raw("HTTP/1.1 302 Found\r\nLocation: /f\r\nContent-Length: 0\r\n\r\n"));
  m_srv.route("/f", Route::File(m_body));
  std::string url = m_srv.url("/a");
  ASSERT_TRUE(Info(url)) << m_log.Dump();
  EXPECT_EQ(m_length, 4321);
  EXPECT_EQ(url, m_srv.url("/f"));
}

TEST_F(HttpSocketInfo, RedirectWithoutLocationFails) {
  m_srv.route("/a", Route::Raw("HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n"));
  std::string url = m_srv.url("/a");
  EXPECT_FALSE(Info(url));
  EXPECT_TRUE(m_log.Has(txt::kSockNoLocation));
}

TEST_F(HttpSocketInfo, ProbeReportsLengthTypeAndTimes) {
  Route r = Route::File(m_body);
  r.contentType = "audio/mpeg";
  m_srv.route("/a", r);
  int parseMs = -1, headerMs = -1, reconnectMs = -1, length = -1;
  std::string type;
  ASSERT_TRUE(m_sock.ProbeSpeed(m_srv.url("/a"), parseMs, headerMs, reconnectMs, length, type));
  EXPECT_EQ(length, 4321);
  EXPECT_EQ(type, "audio/mpeg");
  EXPECT_GE(parseMs, 0);
  EXPECT_GE(headerMs, 0);
  EXPECT_GE(reconnectMs, 0);
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_NE(reqs[0].connection, reqs[1].connection);  // the second one measures a fresh connect
  EXPECT_TRUE(m_srv.waitAllClosed(5000)) << "a probe leaves no connection held";
}

TEST_F(HttpSocketInfo, ProbeTimesFollowTheServer) {
  Route r = Route::File(m_body);
  r.faults.headerDelayMs = 300;
  m_srv.route("/slow", r);
  m_srv.route("/fast", Route::File(m_body));
  int parseMs, headerMs, reconnectMs, length;
  std::string type;
  ASSERT_TRUE(m_sock.ProbeSpeed(m_srv.url("/slow"), parseMs, headerMs, reconnectMs, length, type));
  EXPECT_GE(headerMs, 250);
  EXPECT_GE(reconnectMs, 250);
  ASSERT_TRUE(m_sock.ProbeSpeed(m_srv.url("/fast"), parseMs, headerMs, reconnectMs, length, type));
  EXPECT_LT(headerMs, 250);
  EXPECT_LT(reconnectMs, 250);
}

TEST_F(HttpSocketInfo, ProbeFollowsOneRedirectWithoutChangingTheAddress) {
  m_srv.route("/a", Route::Redirect(302, "/f"));
  m_srv.route("/f", Route::File(m_body));
  int parseMs, headerMs, reconnectMs, length;
  std::string type;
  const std::string url = m_srv.url("/a");
  ASSERT_TRUE(m_sock.ProbeSpeed(url, parseMs, headerMs, reconnectMs, length, type));
  EXPECT_EQ(length, 4321);
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[1].target, "/f");
  EXPECT_EQ(reqs[2].target, "/f");
}

TEST_F(HttpSocketInfo, ProbeFailures) {
  int parseMs, headerMs, reconnectMs, length;
  std::string type;
  EXPECT_FALSE(m_sock.ProbeSpeed("http://127.0.0.1:1/a", parseMs, headerMs, reconnectMs, length, type));
  Route r = Route::File(m_body);
  r.faults.headerNoBlankLine = true;
  m_srv.route("/h", r);
  EXPECT_FALSE(m_sock.ProbeSpeed(m_srv.url("/h"), parseMs, headerMs, reconnectMs, length, type));
  EXPECT_TRUE(m_log.Has(txt::kSockHeaderTooLong));
  r = Route::File(m_body);
  r.faults.contentLengthOverride = "99999999999";
  m_srv.route("/big", r);
  EXPECT_FALSE(m_sock.ProbeSpeed(m_srv.url("/big"), parseMs, headerMs, reconnectMs, length, type));
  EXPECT_TRUE(m_log.Has(txt::kSockLengthTooLarge));
  // The object is still usable afterwards.
  m_srv.route("/ok", Route::File(m_body));
  EXPECT_TRUE(m_sock.ProbeSpeed(m_srv.url("/ok"), parseMs, headerMs, reconnectMs, length, type));
}

}  // namespace
