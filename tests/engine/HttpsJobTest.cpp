// Whole jobs over TLS and IPv6 through the scripted server's front: the
// bytes, one full handshake per job, refused certificates, redirects
// between the schemes, a stop during a handshake, and the texts that say
// why a connection failed.
#include <atomic>
#include <cstdlib>
#include <thread>
#include <optional>

#include <netdb.h>

#include "engine/http/Resolver.h"
#include "engine/http/NetworkOptions.h"
#include "engine/http/TlsChannel.h"
#include "tests/engine/BlockDownloaderTestKit.h"
#include "tests/support/Loopback.h"
#include "tests/support/ServerFront.h"
#include "tests/support/TestCa.h"

namespace {

using bdtest::Owner;
using vtest::Route;

class HttpsJob : public bdtest::JobFixture {
 protected:
  void SetUp() override {
    const char* old = std::getenv("SSL_CERT_FILE");
    if (old) m_oldCertFile = old;
    // The test's CA stands in for the system's trust store.
    ::setenv("SSL_CERT_FILE", ca.caFile().c_str(), 1);
    CTlsChannel::ForgetSessions();
  }
  void TearDown() override {
    if (m_oldCertFile)
      ::setenv("SSL_CERT_FILE", m_oldCertFile->c_str(), 1);
    else
      ::unsetenv("SSL_CERT_FILE");
    SetNetworkOptions(NetworkOptions{});
    CTlsChannel::ForgetSessions();
  }
  vtest::CertFiles GoodCert() { return ca.Issue("good", {"localhost"}, {"127.0.0.1", "::1"}); }

  // A job that must fail before any block: the cause comes first at index
  // 0, the job's own text after it, and no file is left.
  void ExpectRefused(const std::string& url, const std::string& cause) {
    Owner o;
    auto job = Job(url, Target("a.mp3"), 3, o);
    Run(*job, o);
    EXPECT_EQ(o.failures(), 1);
    std::vector<std::string> texts;
    for (const auto& m : o.messages())
      if (m.index == 0) texts.push_back(m.text);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), T(cause.c_str()));
    EXPECT_EQ(o.JobTexts().back(), T(txt::kJobStartError) + T(txt::kJobFileInfoError));
    EXPECT_FALSE(bdtest::Exists(Target("a.mp3")));
    EXPECT_FALSE(bdtest::Exists(BlockFile("a.mp3", 0)));
  }

  vtest::TestCa ca{home.root()};
  std::optional<std::string> m_oldCertFile;
};

class HttpsJobBytes : public HttpsJob, public ::testing::WithParamInterface<int> {};

TEST_P(HttpsJobBytes, ByteExactWithOneFullHandshake) {
  const int blocks = GetParam();
  const std::string body = vtest::RandomBytes((1 << 20) + 3, 11);
  srv.route("/a.mp3", Route::File(body));
  vtest::ServerFront tls(srv.port(), "127.0.0.1", GoodCert());
  auto job = Job(tls.url("/a.mp3"), Target("a.mp3"), blocks, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
  ExpectNoLeftovers(Target("a.mp3"));
  // One block is the first connection alone. Connections opened after the
  // first one has its session offer it; how many open before that depends
  // on when its ticket comes, so only the reuse itself is pinned.
  if (blocks == 1) {
    EXPECT_EQ(tls.handshakes(), 1);
  } else {
    EXPECT_GE(tls.resumed(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Blocks, HttpsJobBytes, ::testing::Values(1, 2, 3, 4, 5));

TEST_F(HttpsJob, ResumesBlockFilesAfterAStop) {
  const std::string body = vtest::RandomBytes(600000, 12);
  Route stalling = Route::File(body);
  stalling.faults.stallAfterBodyBytes = 50000;
  stalling.faults.stallMs = 60000;
  srv.route("/a.mp3", stalling);
  vtest::ServerFront tls(srv.port(), "127.0.0.1", GoodCert());
  {
    auto job = Job(tls.url("/a.mp3"), Target("a.mp3"), 3, owner, true);
    CBlockDownloader::Start(job.get());
    ASSERT_TRUE(owner.WaitProgress());
    ASSERT_TRUE(bdtest::WaitFor([&] { return vtest::ReadFile(BlockFile("a.mp3", 0)).size() >= 50000; }));
    job->Stop();
  }
  EXPECT_TRUE(bdtest::WaitNoBlockThreads());
  srv.route("/a.mp3", Route::File(body));
  srv.clearRequests();
  Owner again;
  auto job = Job(tls.url("/a.mp3"), Target("a.mp3"), 3, again, true);
  Run(*job, again);
  EXPECT_EQ(again.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
  // Block 0 went on from what it had, not from the start.
  bool continued = false;
  for (const auto& r : srv.requestsFor("/a.mp3"))
    if (r.range.rfind("bytes=50000-", 0) == 0 || r.range.rfind("bytes=5", 0) == 0) continued = true;
  EXPECT_TRUE(continued);
}

TEST_F(HttpsJob, RefusedCertificatesSayWhyAndLeaveNoFile) {
  srv.route("/a.mp3", Route::File(vtest::RandomBytes(5000, 13)));
  {
    vtest::ServerFront expired(srv.port(), "127.0.0.1",
                               ca.Issue("expired", {"localhost"}, {"127.0.0.1"}, -10 * 86400, -86400));
    ExpectRefused(expired.url("/a.mp3"), "服务器证书无效: certificate has expired");
    // Refused once, never tried again on the job's other connections.
    EXPECT_EQ(expired.accepted(), 1);
    EXPECT_EQ(srv.requests().size(), 0u);
  }
}

TEST_F(HttpsJob, UntrustedCertificateIsRefused) {
  srv.route("/a.mp3", Route::File(vtest::RandomBytes(5000, 13)));
  vtest::ServerFront self(srv.port(), "127.0.0.1",
                          ca.Issue("self", {"localhost"}, {"127.0.0.1"}, -3600, 86400, true));
  ExpectRefused(self.url("/a.mp3"), "服务器证书无效: self-signed certificate");
  EXPECT_EQ(srv.requests().size(), 0u);
}

TEST_F(HttpsJob, CertificateForAnotherNameIsRefused) {
  srv.route("/a.mp3", Route::File(vtest::RandomBytes(5000, 13)));
  vtest::ServerFront other(srv.port(), "127.0.0.1", ca.Issue("other", {"other.test"}, {"127.0.0.2"}));
  ExpectRefused("https://localhost:" + std::to_string(other.port()) + "/a.mp3",
                "服务器证书无效: hostname mismatch");
  ExpectRefused(other.url("/a.mp3"), "服务器证书无效: IP address mismatch");
  EXPECT_EQ(srv.requests().size(), 0u);
}

TEST_F(HttpsJob, TheUsersTrustFileIsTrustedBesideTheSystems) {
  ::unsetenv("SSL_CERT_FILE");
  srv.route("/a.mp3", Route::File(vtest::RandomBytes(70000, 14)));
  vtest::ServerFront tls(srv.port(), "127.0.0.1", GoodCert());
  SetNetworkOptions(NetworkOptions{"", ca.caFile()});
  auto job = Job(tls.url("/a.mp3"), Target("a.mp3"), 2, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), vtest::RandomBytes(70000, 14));
}

TEST_F(HttpsJob, RedirectsBetweenTheSchemesInBothDirections) {
  const std::string body = vtest::RandomBytes(300000, 15);
  srv.route("/a.mp3", Route::File(body));
  vtest::ServerFront tls(srv.port(), "127.0.0.1", GoodCert());
  srv.route("/to-https", Route::Redirect(302, tls.url("/a.mp3")));
  srv.route("/to-http", Route::Redirect(301, srv.url("/a.mp3")));

  auto up = Job(srv.url("/to-https"), Target("up.mp3"), 3, owner);
  Run(*up, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("up.mp3")), body);
  EXPECT_GE(tls.handshakes(), 1);

  Owner down;
  const int before = tls.handshakes();
  auto job = Job(tls.url("/to-http"), Target("down.mp3"), 3, down);
  Run(*job, down);
  EXPECT_EQ(down.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("down.mp3")), body);
  EXPECT_EQ(tls.handshakes(), before + 1) << "only the redirect itself came over TLS";
}

TEST_F(HttpsJob, IPv6LiteralOverHttpAndHttps) {
  const std::string body = vtest::RandomBytes(200000, 16);
  srv.route("/a.mp3", Route::File(body));
  vtest::ServerFront plain(srv.port(), "::1");
  auto job = Job(plain.url("/a.mp3"), Target("plain.mp3"), 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("plain.mp3")), body);
  ASSERT_FALSE(srv.requests().empty());
  EXPECT_EQ(srv.requests()[0].header("Host"), "[::1]:" + std::to_string(plain.port()));

  Owner secure;
  vtest::ServerFront tls(srv.port(), "::1", GoodCert());
  auto job2 = Job(tls.url("/a.mp3"), Target("tls.mp3"), 3, secure);
  Run(*job2, secure);
  EXPECT_EQ(secure.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("tls.mp3")), body);
}

TEST_F(HttpsJob, StopDuringAStalledHandshakeLeavesNoThread) {
  srv.route("/a.mp3", Route::File(vtest::RandomBytes(5000, 17)));
  vtest::ServerFront tls(srv.port(), "127.0.0.1", GoodCert());
  tls.setSilent(true);
  ConTimeOut = 60;
  auto job = Job(tls.url("/a.mp3"), Target("a.mp3"), 3, owner);
  // Start asks for the file's length on the calling thread, as the task's
  // own thread does; the Stop comes from another.
  std::atomic<bool> started{false};
  std::thread starter([&] {
    CBlockDownloader::Start(job.get());
    started = true;
  });
  ASSERT_TRUE(bdtest::WaitFor([&] { return tls.accepted() >= 1; }));
  job->Stop();
  // Far sooner than the 60 s the handshake was allowed.
  EXPECT_TRUE(bdtest::WaitFor([&] { return started.load(); }, 10000));
  starter.join();
  EXPECT_TRUE(bdtest::WaitNoBlockThreads());
  EXPECT_EQ(owner.successes(), 0);
  EXPECT_FALSE(bdtest::Exists(Target("a.mp3")));
  ConTimeOut = 5;
}

TEST_F(HttpsJob, AHandshakeThatNeverEndsTimesOutWithItsText) {
  vtest::ServerFront tls(srv.port(), "127.0.0.1", GoodCert());
  tls.setSilent(true);
  ConTimeOut = 1;
  ExpectRefused(tls.url("/a.mp3"), "连接服务器超时: 127.0.0.1:" + std::to_string(tls.port()));
  ConTimeOut = 5;
}

int NoName(const std::string&, sockaddr_in&) { return EAI_NONAME; }

TEST_F(HttpsJob, RefusedConnectAndUnknownNameSayWhy) {
  const int port = vtest::UnusedLoopbackPort();
  ExpectRefused("https://127.0.0.1:" + std::to_string(port) + "/a.mp3",
                "无法连接到服务器: 127.0.0.1:" + std::to_string(port) + "(Connection refused)");
  // Names are answered here, never by a resolver off the machine.
  SetHostLookup(NoName);
  ExpectRefused("https://no-such-host.test/a.mp3", "无法解析主机名: no-such-host.test");
  Owner second;
  auto job = Job("http://no-such-host.test/a.mp3", Target("b.mp3"), 2, second);
  Run(*job, second);
  SetHostLookup(nullptr);
  std::vector<std::string> first;
  for (const auto& m : second.messages())
    if (m.index == 0) first.push_back(m.text);
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(first[1], T(txt::kSockLookupFailed)) << "the specified text follows its cause";
}

}  // namespace
