// Jobs through an http proxy, with the scripted server standing in for the
// proxy: what the proxy is sent, byte for byte (absolute form, CONNECT, the
// credentials), and what a refusing proxy makes the job say. The target's
// name is never looked up here: only the proxy knows it.
#include <optional>

#include "engine/http/NetworkOptions.h"
#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

class ProxyJob : public bdtest::JobFixture {
 protected:
  void TearDown() override { SetNetworkOptions(NetworkOptions{}); }
  void UseProxy(const std::string& credentials = "") {
    SetNetworkOptions(NetworkOptions{"http://" + credentials + srv.hostPort(), ""});
  }
  // The texts block index said, in order.
  static std::vector<std::string> Texts(const Owner& o, int index) {
    std::vector<std::string> out;
    for (const auto& m : o.messages())
      if (m.index == index) out.push_back(m.text);
    return out;
  }
};

TEST_F(ProxyJob, HttpGoesInAbsoluteFormWithTheProxysCredentials) {
  const std::string body = vtest::RandomBytes(300000, 21);
  srv.route("http://songs.test:8080/a.mp3", Route::File(body));
  UseProxy("us%40er:pw@");
  auto job = Job("http://songs.test:8080/a.mp3", Target("a.mp3"), 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
  const auto reqs = srv.requests();
  ASSERT_GE(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].raw,
            "GET http://songs.test:8080/a.mp3 HTTP/1.1\r\n"
            "Host:songs.test\r\n"
            "Accept:*/*\r\n"
            "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
            "Connection:Keep-Alive\r\n"
            "Range: bytes=0-\r\n"
            "Proxy-Authorization:Basic dXNAZXI6cHc=\r\n"
            "\r\n");
  for (const auto& r : reqs) EXPECT_EQ(r.header("Proxy-Authorization"), "Basic dXNAZXI6cHc=");
}

TEST_F(ProxyJob, LoopbackAndNoneGoStraight) {
  const std::string body = vtest::RandomBytes(5000, 22);
  srv.route("/a.mp3", Route::File(body));
  // The proxy setting points nowhere: a proxied request would fail.
  SetNetworkOptions(NetworkOptions{"http://proxy.test:3128", ""});
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(srv.requests()[0].target, "/a.mp3");
}

TEST_F(ProxyJob, ARefusalOfAnHttpRequestIsTheProxys) {
  srv.route("http://songs.test/a.mp3",
            Route::Raw("HTTP/1.1 407 Proxy Authentication Required\r\n"
                       "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 0\r\n\r\n"));
  UseProxy();
  auto job = Job("http://songs.test/a.mp3", Target("a.mp3"), 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  const auto texts = Texts(owner, 0);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), T("代理服务器拒绝了请求: HTTP/1.1 407 Proxy Authentication Required"));
  EXPECT_FALSE(bdtest::Exists(Target("a.mp3")));
}

TEST_F(ProxyJob, HttpsAsksForATunnelAndARefusalSaysSo) {
  srv.route("songs.test:443", Route::Raw("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"));
  UseProxy("u:p@");
  auto job = Job("https://songs.test/a.mp3", Target("a.mp3"), 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  const auto texts = Texts(owner, 0);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), T("代理服务器拒绝了请求: HTTP/1.1 403 Forbidden"));
  const auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 1u) << "a refused tunnel is not asked for again by the same request";
  EXPECT_EQ(reqs[0].raw,
            "CONNECT songs.test:443 HTTP/1.1\r\nHost: songs.test:443\r\n"
            "Proxy-Authorization: Basic dTpw\r\n\r\n");
}

TEST_F(ProxyJob, AProxyThatCannotBeUsedFailsInsteadOfGoingStraight) {
  srv.route("/a.mp3", Route::File("x"));
  SetNetworkOptions(NetworkOptions{"socks5://127.0.0.1:1080", ""});
  auto job = Job("http://songs.test/a.mp3", Target("a.mp3"), 1, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.failures(), 1);
  const auto texts = Texts(owner, 0);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), T("无法连接到服务器: 127.0.0.1:1080(unsupported proxy scheme 'socks5')"));
}

}  // namespace
