// Nothing outside the root is ever read; bad requests do not stop service.
#include <gmock/gmock.h>

#include <thread>

#include "tests/server/ServerHarness.h"

using namespace harness;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char kSecret[] = "SECRET-OUTSIDE-THE-ROOT-4711";

class SafetyTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    AddSong("ok.mp3", 100);
    WriteFile(m_base + "/secret.mp3", kSecret);
    WriteFile(m_root + "/private.ini", kSecret);  // in the root but not below songs/
    fs::create_symlink(m_base + "/secret.mp3", m_root + "/songs/link.mp3");
    fs::create_directory_symlink(m_base, m_root + "/songs/up");
    fs::create_symlink(m_root + "/songs/ok.mp3", m_root + "/songs/alias.mp3");
    StartServer();
  }

  void ExpectRefused(const std::string& target) {
    Reply r = Get(m_port, target);
    EXPECT_TRUE(r.status == 403 || r.status == 404) << target << " gave " << r.status;
    EXPECT_THAT(r.raw, Not(HasSubstr(kSecret))) << target;
  }
};

TEST_F(SafetyTest, TraversalAttemptsReadNothing) {
  for (std::string prefix : {"/songs/", "/mirror/fast/"}) {
    ExpectRefused(prefix + "../secret.mp3");
    ExpectRefused(prefix + "../../secret.mp3");
    ExpectRefused(prefix + "%2e%2e/secret.mp3");
    ExpectRefused(prefix + "%2E%2E/%2E%2E/secret.mp3");
    ExpectRefused(prefix + "..%2fsecret.mp3");
    ExpectRefused(prefix + "..%5csecret.mp3");
    ExpectRefused(prefix + "%2e%2e%2fprivate.ini");
    ExpectRefused(prefix + "ok.mp3/../../private.ini");
    ExpectRefused(prefix + "%00../secret.mp3");
  }
  ExpectRefused("/songs/../private.ini");
  ExpectRefused("/update/../private.ini");
}

TEST_F(SafetyTest, AbsolutePathsAreRefused) {
  std::string absolute = fs::path(m_base + "/secret.mp3").string();
  ExpectRefused("/songs/" + absolute);
  ExpectRefused("/songs/%2F" + absolute.substr(1));
  ExpectRefused("/mirror/fast/" + absolute);
  ExpectRefused("/songs//etc/passwd");
  ExpectRefused(absolute);
}

TEST_F(SafetyTest, SymlinksOutOfTheRootAreRefusedAndInsideItFollowed) {
  EXPECT_EQ(Get(m_port, "/songs/link.mp3").status, 403);
  ExpectRefused("/songs/link.mp3");
  ExpectRefused("/songs/up/secret.mp3");
  ExpectRefused("/mirror/fast/up/secret.mp3");
  Reply inside = Get(m_port, "/songs/alias.mp3");
  EXPECT_EQ(inside.status, 200);
  EXPECT_EQ(inside.body.size(), 100u);
}

TEST_F(SafetyTest, SearchNeverListsWhatItCannotServe) {
  Reply page = Search("mp3.cgi", "secret");
  EXPECT_THAT(DownloadLinks(page.body, ".MP3"), ::testing::IsEmpty());
}

TEST_F(SafetyTest, MalformedRequestLineGets400AndServiceGoesOn) {
  for (std::string bad : {"GARBAGE\r\n\r\n", "GET\r\n\r\n", "GET /songs/ok.mp3\r\n\r\n",
                          "GET /songs/ok.mp3 HTTP/1.1 extra\r\n\r\n", "\x01\x02\x03 / HTTP/1.1\r\n\r\n"}) {
    Reply r = ParseReply(SendRaw(m_port, bad));
    EXPECT_EQ(r.status, 400) << bad;
    Reply next = Get(m_port, "/songs/ok.mp3");
    EXPECT_EQ(next.status, 200) << "after " << bad;
  }
}

TEST_F(SafetyTest, OversizedRequestsAreRefusedAndServiceGoesOn) {
  Reply longTarget = Get(m_port, "/songs/" + std::string(20000, 'a') + ".mp3");
  EXPECT_GE(longTarget.status, 400);
  Reply hugeHeader = Get(m_port, "/songs/ok.mp3", "X-Filler: " + std::string(20000, 'b') + "\r\n");
  EXPECT_TRUE(!hugeHeader.ok || hugeHeader.status >= 400);
  std::string manyHeaders;
  for (int i = 0; i < 200; ++i) manyHeaders += "X-H" + std::to_string(i) + ": " + std::string(100, 'c') + "\r\n";
  Reply many = Get(m_port, "/songs/ok.mp3", manyHeaders);
  EXPECT_TRUE(!many.ok || many.status >= 400 || many.status == 200);
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3").status, 200);
}

TEST_F(SafetyTest, SilentClientTimesOutAndOthersAreServedMeanwhile) {
  int fd = vtest::ConnectLoopback(m_port, 15000);
  ASSERT_GE(fd, 0);
  send(fd, "GET /songs/ok.mp3 HTTP/1.1\r\n", 28, MSG_NOSIGNAL);  // and never the rest
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3").status, 200);
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof buf, 0);  // the server's read time-out ends it
  EXPECT_LE(n, static_cast<ssize_t>(sizeof buf));
  close(fd);
}

TEST_F(SafetyTest, SecondServerOnTheSamePortFailsToStart) {
  MusicServerOptions options;
  options.root = m_root;
  options.port = m_port;
  options.logPath = m_base + "/second.log";
  CMusicServer second(options);
  std::string error;
  EXPECT_FALSE(second.Start(error));
  EXPECT_THAT(error, HasSubstr(std::to_string(m_port)));
  EXPECT_EQ(Get(m_port, "/songs/ok.mp3").status, 200);
}

TEST_F(SafetyTest, ALogPathThatIsALinkIsNotWrittenThrough) {
  // The log lies in the temp folder by default; a link planted under its
  // name must not make the server append to whatever it names.
  WriteFile(m_base + "/victim", "untouched");
  fs::create_symlink(m_base + "/victim", m_base + "/planted.log");
  MusicServerOptions options;
  options.root = m_root;
  options.logPath = m_base + "/planted.log";
  CMusicServer server(options);
  std::string error;
  EXPECT_FALSE(server.Start(error));
  EXPECT_THAT(error, HasSubstr("planted.log"));
  EXPECT_EQ(ReadFile(m_base + "/victim"), "untouched");
}

TEST_F(SafetyTest, MissingRootIsReportedAtStart) {
  MusicServerOptions options;
  options.root = m_base + "/nosuch";
  CMusicServer server(options);
  std::string error;
  EXPECT_FALSE(server.Start(error));
  EXPECT_THAT(error, HasSubstr("nosuch"));
}

}  // namespace
