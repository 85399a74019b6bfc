#include "task/RobotInternet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "engine/http/HttpSocket.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

using vtest::Route;
using vtest::ScriptedServer;

struct Fetch {
  bool ok = false;
  int code = -1;
  std::string error;
  std::string page = "untouched";
};

Fetch Get(const std::string& url, CRobotInternet* robot = nullptr) {
  CRobotInternet local;
  CRobotInternet& r = robot ? *robot : local;
  Fetch f;
  f.ok = r.GetPage(url, f.page, f.code, f.error);
  return f;
}

class RobotInternetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_con = ConTimeOut.load();
    m_get = GetTimeOut.load();
  }
  void TearDown() override {
    ConTimeOut = m_con;
    GetTimeOut = m_get;
  }
  vtest::TempHome m_home;
  ScriptedServer m_srv;
  int m_con = 0, m_get = 0;
};

TEST(RobotInternetAddress, CompletionFollowsTheColonAndSlashRules) {
  EXPECT_EQ(CRobotInternet::CompleteAddress("www.example.com/a"), "http://www.example.com/a");
  EXPECT_EQ(CRobotInternet::CompleteAddress("//host/a"), "http://host/a");
  EXPECT_EQ(CRobotInternet::CompleteAddress("/a"), "http:/a");
  EXPECT_EQ(CRobotInternet::CompleteAddress("  host/a \t"), "http://host/a");
  EXPECT_EQ(CRobotInternet::CompleteAddress("   "), "http://");
  // A colon anywhere leaves the address alone, even a port without a scheme.
  EXPECT_EQ(CRobotInternet::CompleteAddress("host:81/a"), "host:81/a");
}

TEST_F(RobotInternetTest, EmptyAndUnusableAddressesAreRefusedWithTheirCodes) {
  Fetch f = Get("");
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.code, 2);
  EXPECT_EQ(f.error, "Invalid parameter");
  EXPECT_EQ(f.page, "untouched");

  f = Get("   ");  // completed to "http://", which has no host
  EXPECT_EQ(f.code, 1);
  EXPECT_EQ(f.error, "Invalid URL");

  // A port without a scheme is not completed, so it does not parse as http.
  EXPECT_EQ(Get(m_srv.hostPort() + "/page").code, 1);
  EXPECT_EQ(Get("ftp://127.0.0.1:" + std::to_string(m_srv.port()) + "/page").code, 1);
  EXPECT_TRUE(m_srv.requests().empty());
  // https is a service the fetcher speaks: a plain server that never
  // answers the handshake fails the connect, not the address.
  ConTimeOut = 1;
  const Fetch tls = Get("https://127.0.0.1:" + std::to_string(m_srv.port()) + "/page");
  EXPECT_FALSE(tls.ok);
  EXPECT_NE(tls.code, 1);
  EXPECT_EQ(tls.page, "untouched");
}

TEST_F(RobotInternetTest, PageIsReadWithThePlainRequestOfTheFetcher) {
  m_srv.route("/page", Route::File("<html>hello</html>"));
  Fetch f = Get(m_srv.url("/page"));
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(f.code, 0);
  EXPECT_EQ(f.error, "Successful");
  EXPECT_EQ(f.page, "<html>hello</html>");

  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].method, "GET");
  EXPECT_EQ(reqs[0].header("User-Agent"), "Mozilla");
  EXPECT_NE(reqs[0].raw.find("\r\nAccept:*/*\r\n"), std::string::npos) << reqs[0].raw;
  EXPECT_EQ(reqs[0].header("Authorization"), "");
}

TEST_F(RobotInternetTest, BlanksAndControlBytesAreEscapedOnlyOnTheWire) {
  m_srv.route("/a%20b", Route::File("x"));
  m_srv.route("/q", [] {
    Route r = Route::File("y");
    r.prefix = true;
    return r;
  }());
  EXPECT_TRUE(Get(m_srv.url("/a b")).ok);
  Fetch f = Get(m_srv.url("/q?k=tab\there%B8%E8"));
  EXPECT_TRUE(f.ok);
  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].target, "/a%20b");
  // Existing escapes go through as they are; only the raw tab is escaped.
  EXPECT_EQ(reqs[1].target, "/q?k=tab%09here%B8%E8");
}

TEST_F(RobotInternetTest, ErrorStatusesMapToTheirCodesAndLeaveThePageAlone) {
  m_srv.route("/404", Route::Raw("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone"));
  m_srv.route("/403", Route::Raw("HTTP/1.1 403 Forbidden\r\nContent-Length: 2\r\n\r\nno"));
  m_srv.route("/407", Route::Raw("HTTP/1.1 407 Proxy Authentication Required\r\n"
                                 "Content-Length: 2\r\n\r\nno"));
  m_srv.route("/500", Route::Raw("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 3\r\n\r\nbad"));
  m_srv.route("/401", Route::Raw("HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n"));

  Fetch f = Get(m_srv.url("/404"));
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.code, 5);
  EXPECT_EQ(f.error, "Not found");
  EXPECT_EQ(f.page, "untouched");

  f = Get(m_srv.url("/403"));
  EXPECT_EQ(f.code, 6);
  EXPECT_EQ(f.error, "Not authorized");
  EXPECT_EQ(f.page, "untouched");
  EXPECT_EQ(Get(m_srv.url("/407")).code, 6);

  f = Get(m_srv.url("/500"));
  EXPECT_EQ(f.code, 3);
  EXPECT_EQ(f.error, "Connection failed");
  EXPECT_EQ(f.page, "untouched");
  EXPECT_EQ(Get(m_srv.url("/401")).code, 3);
}

TEST_F(RobotInternetTest, RedirectsAreFollowedToThePage) {
  m_srv.route("/final", Route::File("the page"));
  m_srv.route("/old", Route::Redirect(302, "/mid"));
  m_srv.route("/mid", Route::Redirect(301, m_srv.url("/final")));
  CRobotInternet robot;
  Fetch f = Get(m_srv.url("/old"), &robot);
  ASSERT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.page, "the page");
  EXPECT_EQ(robot.m_strEffectiveURL, m_srv.url("/final"));
  EXPECT_EQ(robot.m_nContext, 1u);
}

TEST_F(RobotInternetTest, ThreeHundredWithoutLocationIsTheAnswer) {
  m_srv.route("/304", Route::Raw("HTTP/1.1 300 Multiple Choices\r\nContent-Length: 5\r\n\r\nlinks"));
  Fetch f = Get(m_srv.url("/304"));
  EXPECT_TRUE(f.ok);
  EXPECT_EQ(f.page, "links");
}

TEST_F(RobotInternetTest, AZeroByteEndsTheTextOfItsPiece) {
  std::string body = "abc";
  body += '\0';
  body += "hidden";
  m_srv.route("/nul", Route::File(body));
  EXPECT_EQ(Get(m_srv.url("/nul")).page, "abc");

  // Pieces are 1023 bytes: text after the NUL's piece comes back.
  std::string two(1023, 'a');
  two += "b";
  two += '\0';
  two += "gone";
  two += std::string(1023 - 6, 'c');
  two += "next";
  m_srv.route("/two", Route::File(two));
  EXPECT_EQ(Get(m_srv.url("/two")).page, std::string(1023, 'a') + "b" + "next");
}

TEST_F(RobotInternetTest, UnreachableServerIsAConnectionFailure) {
  int port;
  {
    ScriptedServer gone;
    port = gone.port();
  }
  Fetch f = Get("http://127.0.0.1:" + std::to_string(port) + "/x");
  EXPECT_EQ(f.code, 3);
  EXPECT_EQ(f.page, "untouched");
}

TEST_F(RobotInternetTest, StallingServerTimesOutWithCodeFour) {
  ConTimeOut = 1;
  GetTimeOut = 1;
  Route r = Route::File("late page");
  r.faults.stallMs = 8000;
  m_srv.route("/stall", r);
  const auto t0 = std::chrono::steady_clock::now();
  Fetch f = Get(m_srv.url("/stall"));
  const auto secs =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(f.code, 4);
  EXPECT_EQ(f.error, "Timed out");
  EXPECT_EQ(f.page, "untouched");
  EXPECT_LT(secs, 7);  // gave up well before the server would have answered
}

TEST_F(RobotInternetTest, StallInTheBodyKeepsWhatArrived) {
  ConTimeOut = 1;
  GetTimeOut = 1;
  Route r = Route::File("0123456789rest of the page");
  r.faults.stallMs = 8000;
  r.faults.stallAfterBodyBytes = 10;
  m_srv.route("/half", r);
  const auto t0 = std::chrono::steady_clock::now();
  Fetch f = Get(m_srv.url("/half"));
  const auto secs =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(f.code, 4);
  EXPECT_EQ(f.page, "0123456789");
  EXPECT_LT(secs, 4);  // one receive time-out of silence, not the whole-fetch bound
}

TEST_F(RobotInternetTest, CancelGivesUpARunningFetch) {
  ConTimeOut = 5;
  GetTimeOut = 15;
  Route r = Route::File("late");
  r.faults.stallMs = 8000;
  m_srv.route("/slow", r);
  std::atomic<bool> stop{false};
  CRobotInternet robot;
  robot.m_fnCancel = [&] { return stop.load(); };
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
  });
  const auto t0 = std::chrono::steady_clock::now();
  Fetch f = Get(m_srv.url("/slow"), &robot);
  t.join();
  const auto secs =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(f.code, 3);
  EXPECT_LT(secs, 5);
}

TEST(RobotInternetTexts, Base64PadsTheLastGroup) {
  EXPECT_EQ(CRobotInternet::EncodeBase64(""), "");
  EXPECT_EQ(CRobotInternet::EncodeBase64("a:b"), "YTpi");
  EXPECT_EQ(CRobotInternet::EncodeBase64("ab:c"), "YWI6Yw==");
  EXPECT_EQ(CRobotInternet::EncodeBase64("ab:cd"), "YWI6Y2Q=");
  EXPECT_EQ(CRobotInternet::EncodeBase64("\xff\xfe\xfd"), "//79");
}

TEST(RobotInternetTexts, HeadersCarryCredentialsOnlyWhenSet) {
  CRobotInternet r;
  EXPECT_EQ(r.BuildHeaders(), "Accept:*/*\r\n\r\n");
  r.m_strProxyUser = "p";
  r.m_strProxyPassword = "q";
  EXPECT_EQ(r.BuildHeaders(), "Accept:*/*\r\n\r\n");  // no scheme, no proxy credentials
  r.m_strAuthScheme = "Basic";
  EXPECT_EQ(r.BuildHeaders(), "Accept:*/*\r\n\r\n");  // the scheme is matched exactly
  r.m_strAuthScheme = "basic";
  r.m_strUser = "u";
  r.m_strPassword = "pw";
  EXPECT_EQ(r.BuildHeaders(),
            "Accept:*/*\r\nProxy-authorization:Basic cDpx\r\nAuthorization:Basic dTpwdw==\r\n\r\n");
}

TEST(RobotInternetTexts, ErrorAndStatusTables) {
  const char* errors[] = {"Successful",  "Invalid URL", "Invalid parameter", "Connection failed",
                          "Timed out",   "Not found",   "Not authorized",    "Disk/file error"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(CRobotInternet::ErrorText(i), errors[i]);
  EXPECT_EQ(CRobotInternet::ErrorText(8), "CRobotInternet error 8");
  EXPECT_EQ(CRobotInternet::ErrorText(-1), "CRobotInternet error -1");

  EXPECT_EQ(CRobotInternet::StatusText(200), "OK,request succeeded.");
  EXPECT_EQ(CRobotInternet::StatusText(302),
            "Requested resource resides temporarily under a different URL.");
  EXPECT_EQ(CRobotInternet::StatusText(407), "Unauthorized;reject by proxy server.");
  EXPECT_EQ(CRobotInternet::StatusText(503), "Service temporarily unavaliable.");
  EXPECT_EQ(CRobotInternet::StatusText(418), "Error 418");
}

}  // namespace
