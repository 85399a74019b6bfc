// The page fetcher (libcurl) reaching real servers: nginx with TLS under an
// authority made at test time, trusted only as the engine trusts it, and a
// real squid as the only way out.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "engine/http/HttpSocket.h"
#include "engine/http/NetworkOptions.h"
#include "task/RobotInternet.h"
#include "tests/support/EnvVar.h"
#include "tests/support/TempHome.h"
#include "tests/task/NginxServer.h"
#include "tests/task/SquidProxy.h"
#include "tests/task/TestCertificates.h"

namespace {

using vtest::NginxServer;

// Sets one environment variable for the life of the object.
using vtest::EnvVar;

struct Page {
  bool ok = false;
  int code = -1;
  std::string text;
  std::string effective;
};

Page Fetch(const std::string& url, bool credentials = false) {
  CRobotInternet robot;
  robot.m_bCarriesCredentials = credentials;
  Page p;
  std::string error;
  p.ok = robot.GetPage(url, p.text, p.code, error);
  p.effective = robot.m_strEffectiveURL;
  return p;
}

bool WaitFor(const std::function<bool()>& pred) {
  for (int i = 0; i < 200; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return pred();
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Ports: 0 https (a certificate for 127.0.0.1, ::1, localhost and songs.test),
// 1 plain http, 2 https with a certificate for another name only.
class PageFetchReachTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConTimeOut = 3;
    GetTimeOut = 5;
    SetNetworkOptions(NetworkOptions{});
    if (NginxServer::Program().empty()) GTEST_SKIP() << "nginx missing";
    // The servers' workers and squid run as other users: the way in must be open.
    chmod(m_home.root().c_str(), 0711);
    m_dir = m_home.root() + "/web";
    mkdir(m_dir.c_str(), 0755);
    mkdir((m_dir + "/www").c_str(), 0755);
    ASSERT_TRUE(m_certs.Make(m_dir + "/certs")) << "openssl could not make an authority";
    ASSERT_TRUE(m_certs.Server("good", "DNS:localhost,DNS:songs.test,IP:127.0.0.1,IP:::1"));
    ASSERT_TRUE(m_certs.Server("other", "DNS:other.test"));
    ASSERT_TRUE(vtest::WriteFile(m_dir + "/www/page.html", "<html>over the wire</html>"));
    chmod((m_dir + "/www/page.html").c_str(), 0644);
    const std::string root = m_dir + "/www";
    const auto servers = [&](const std::vector<int>& p) {
      const std::string https = std::to_string(p[0]), http = std::to_string(p[1]);
      return "  server { listen 127.0.0.1:" + https + " ssl; ssl_certificate " + m_certs.Cert("good") +
             "; ssl_certificate_key " + m_certs.Key("good") + "; root " + root +
             ";\n    location = /down { return 302 http://127.0.0.1:" + http + "/page.html; } }\n"
             "  server { listen 127.0.0.1:" + http + "; root " + root +
             ";\n    location = /up { return 301 https://127.0.0.1:" + https + "/page.html; } }\n"
             "  server { listen 127.0.0.1:" + std::to_string(p[2]) + " ssl; ssl_certificate " +
             m_certs.Cert("other") + "; ssl_certificate_key " + m_certs.Key("other") + "; root " + root + "; }\n";
    };
    ASSERT_TRUE(m_nginx.Start(m_dir + "/nginx", 3, servers)) << vtest::ReadFile(m_dir + "/nginx/error.log");
  }
  void TearDown() override { SetNetworkOptions(NetworkOptions{}); }

  std::string Https(const std::string& path, size_t port = 0) const {
    return "https://127.0.0.1:" + std::to_string(m_nginx.Port(port)) + path;
  }
  std::string Http(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_nginx.Port(1)) + path; }

  vtest::TempHome m_home;
  std::string m_dir;
  vtest::TestCertificates m_certs;
  NginxServer m_nginx;
  // No proxy of the environment may stand between the test and nginx.
  EnvVar m_noHttp{"http_proxy", std::nullopt}, m_noHttps{"https_proxy", std::nullopt},
      m_noHttpsUpper{"HTTPS_PROXY", std::nullopt}, m_noAll{"all_proxy", std::nullopt},
      m_noAllUpper{"ALL_PROXY", std::nullopt}, m_noNo{"no_proxy", std::nullopt}, m_noNoUpper{"NO_PROXY", std::nullopt};
};

TEST_F(PageFetchReachTest, HttpsIsTrustedOnlyAsTheEngineTrustsIt) {
  {
    // Neither the system's store nor anything else vouches for this authority.
    EnvVar file("SSL_CERT_FILE", std::nullopt), dir("SSL_CERT_DIR", std::nullopt);
    const Page p = Fetch(Https("/page.html"));
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.code, 3);
    EXPECT_TRUE(p.text.empty());
  }
  {
    EnvVar file("SSL_CERT_FILE", m_certs.Ca());
    const Page p = Fetch(Https("/page.html"));
    ASSERT_TRUE(p.ok) << p.code;
    EXPECT_EQ(p.text, "<html>over the wire</html>");
    // The name is checked too: a certificate for another host is refused
    // although its authority is trusted.
    EXPECT_EQ(Fetch(Https("/page.html", 2)).code, 3);
  }
  {
    // MP3.ini's trust file, beside the system's store.
    EnvVar file("SSL_CERT_FILE", std::nullopt);
    SetNetworkOptions({"", m_certs.Ca()});
    EXPECT_TRUE(Fetch(Https("/page.html")).ok);
    // One that cannot be read fails the fetch instead of being skipped.
    SetNetworkOptions({"", m_dir + "/no-such-ca.pem"});
    EXPECT_EQ(Fetch(Https("/page.html")).code, 3);
  }
  // Only the fetches that got through reached the server's pages.
  EXPECT_EQ(Count(m_nginx.AccessLog(), "GET /page.html"), 2);
}

TEST_F(PageFetchReachTest, RedirectsCrossBetweenHttpAndHttpsButCredentialsStayEncrypted) {
  EnvVar file("SSL_CERT_FILE", m_certs.Ca());
  Page up = Fetch(Http("/up"));
  ASSERT_TRUE(up.ok) << up.code;
  EXPECT_EQ(up.text, "<html>over the wire</html>");
  EXPECT_EQ(up.effective, Https("/page.html"));

  Page down = Fetch(Https("/down"));
  ASSERT_TRUE(down.ok) << down.code;
  EXPECT_EQ(down.effective, Http("/page.html"));

  // A request that carries credentials in its address is not taken from
  // https down to plain http, even by the server's own redirect.
  const std::string before = m_nginx.AccessLog();
  Page kept = Fetch(Https("/down"), true);
  EXPECT_FALSE(kept.ok);
  EXPECT_EQ(kept.code, 3);
  ASSERT_TRUE(WaitFor([&] { return Count(m_nginx.AccessLog(), "GET /down") == 2; }));
  EXPECT_EQ(Count(m_nginx.AccessLog(), "GET /page.html"), Count(before, "GET /page.html"));
  // Upwards is fine.
  EXPECT_TRUE(Fetch(Http("/up"), true).ok);
}

class PageFetchProxyTest : public PageFetchReachTest {
 protected:
  void SetUp() override {
    PageFetchReachTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (vtest::SquidProxy::Program().empty()) GTEST_SKIP() << "squid missing";
    // songs.test is known to the proxy alone: the fetch works only when the
    // proxy resolves the name.
    ASSERT_TRUE(m_squid.Start(m_home.root() + "/squid", "127.0.0.1 songs.test\n")) << m_squid.StartLog();
  }
  std::string Songs(const char* scheme, size_t port, const std::string& path) const {
    return std::string(scheme) + "://songs.test:" + std::to_string(m_nginx.Port(port)) + path;
  }
  vtest::SquidProxy m_squid;
};

TEST_F(PageFetchProxyTest, TheProxySettingCarriesHttpAndHttpsAndLoopbackGoesDirect) {
  EnvVar file("SSL_CERT_FILE", m_certs.Ca());
  SetNetworkOptions({m_squid.Address(), ""});
  Page http = Fetch(Songs("http", 1, "/page.html"));
  ASSERT_TRUE(http.ok) << http.code << m_squid.StartLog();
  EXPECT_EQ(http.text, "<html>over the wire</html>");
  Page https = Fetch(Songs("https", 0, "/page.html"));
  ASSERT_TRUE(https.ok) << https.code;
  EXPECT_EQ(https.text, "<html>over the wire</html>");
  // The proxy's own log: the http page asked in absolute form, the https
  // one tunnelled with CONNECT.
  ASSERT_TRUE(WaitFor([&] {
    const std::string log = m_squid.AccessLog();
    return log.find("GET " + Songs("http", 1, "/page.html")) != std::string::npos &&
           log.find("CONNECT songs.test:" + std::to_string(m_nginx.Port(0))) != std::string::npos;
  })) << m_squid.AccessLog();

  // Loopback never goes through it.
  const std::string before = m_squid.AccessLog();
  EXPECT_TRUE(Fetch(Http("/page.html")).ok);
  EXPECT_EQ(m_squid.AccessLog(), before);
}

TEST_F(PageFetchProxyTest, TheEnvironmentDecidesWhenTheSettingIsEmpty) {
  EnvVar file("SSL_CERT_FILE", m_certs.Ca());
  EnvVar proxy("http_proxy", m_squid.Address()), secure("https_proxy", m_squid.Address());
  EXPECT_TRUE(Fetch(Songs("http", 1, "/page.html")).ok);
  EXPECT_TRUE(Fetch(Songs("https", 0, "/page.html")).ok);
  // A setting that cannot be used sends nothing anywhere, not even direct.
  SetNetworkOptions({"socks5://127.0.0.1:1", ""});
  EXPECT_EQ(Fetch(Songs("http", 1, "/page.html")).code, 3);
  EXPECT_EQ(Fetch(Http("/page.html")).code, 0);  // loopback is never proxied, so never refused
  ASSERT_TRUE(WaitFor([&] { return Count(m_squid.AccessLog(), "songs.test") >= 2; })) << m_squid.AccessLog();
  EXPECT_EQ(Count(m_squid.AccessLog(), "songs.test"), 2);
}

}  // namespace
