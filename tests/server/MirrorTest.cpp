// Mirrors that misbehave on purpose: late, slow, redirecting, dropping.
#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "server/MirrorProfile.h"
#include "tests/server/ServerHarness.h"

using namespace harness;
using Clock = std::chrono::steady_clock;

namespace {

long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class MirrorTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    m_data = AddSong("夜来香.mp3", 300000);
    WriteFile(m_root + "/mirrors.ini",
              "[late]\nLatencyMs=400\n"
              "[narrow]\nRateKBps=200\n"
              "[fast]\n"
              "[hop]\nRedirectTo=songs\n"
              "[hop2]\nRedirectTo=fast\n"
              "[flaky]\nDropAfterBytes=100000\n"
              "[bad name!]\nLatencyMs=1\n");
    StartServer();
  }
  const std::string kSong = "%E5%A4%9C%E6%9D%A5%E9%A6%99.mp3";
  std::string m_data;
};

TEST_F(MirrorTest, FastMirrorServesTheSongByteExactWithRanges) {
  Reply r = Get(m_port, "/mirror/fast/" + kSong);
  ASSERT_EQ(r.status, 200);
  EXPECT_TRUE(r.body == m_data);
  Reply part = Get(m_port, "/mirror/fast/" + kSong, "Range: bytes=299990-\r\n");
  EXPECT_EQ(part.status, 206);
  EXPECT_TRUE(part.body == m_data.substr(299990));
}

TEST_F(MirrorTest, LatencyComesBeforeTheHeader) {
  auto start = Clock::now();
  Reply late = Request(m_port, "HEAD", "/mirror/late/" + kSong);
  long long lateMs = MillisSince(start);
  ASSERT_EQ(late.status, 200);
  start = Clock::now();
  Request(m_port, "HEAD", "/mirror/fast/" + kSong);
  long long fastMs = MillisSince(start);
  EXPECT_GE(lateMs, 380);
  EXPECT_LT(fastMs, lateMs - 200);
}

TEST_F(MirrorTest, RateLimitHoldsBackEachConnection) {
  auto start = Clock::now();
  Reply r = Get(m_port, "/mirror/narrow/" + kSong, "Range: bytes=0-102399\r\n");
  long long ms = MillisSince(start);
  ASSERT_EQ(r.status, 206);
  EXPECT_TRUE(r.body == m_data.substr(0, 102400));
  // 100 KiB at 200 KiB/s takes about half a second.
  EXPECT_GE(ms, 400);
}

TEST_F(MirrorTest, RedirectProfilesAnswer302ToTheSameSong) {
  Reply hop = Get(m_port, "/mirror/hop/" + kSong);
  EXPECT_EQ(hop.status, 302);
  std::string host = "http://127.0.0.1:" + std::to_string(m_port);
  EXPECT_EQ(hop.Header("location"), host + "/songs/" + kSong);
  Reply hop2 = Get(m_port, "/mirror/hop2/" + kSong);
  EXPECT_EQ(hop2.status, 302);
  EXPECT_EQ(hop2.Header("location"), host + "/mirror/fast/" + kSong);
  Reply target = Get(m_port, hop.Header("location").substr(host.size()));
  EXPECT_TRUE(target.body == m_data);
}

TEST_F(MirrorTest, DroppingMirrorClosesPartWay) {
  Reply r = Get(m_port, "/mirror/flaky/" + kSong);
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("content-length"), "300000");
  EXPECT_EQ(r.body.size(), 100000u);
  EXPECT_TRUE(r.body == m_data.substr(0, 100000));
  // A resumed range gets its own allowance, so a patient client gets there.
  Reply rest = Get(m_port, "/mirror/flaky/" + kSong, "Range: bytes=100000-\r\n");
  EXPECT_EQ(rest.status, 206);
  EXPECT_EQ(rest.body.size(), 100000u);
  EXPECT_TRUE(rest.body == m_data.substr(100000, 100000));
}

TEST_F(MirrorTest, ProfilesComeFromTheIniInFileOrder) {
  Reply page = Search("mp3.cgi", "夜来香");
  std::string host = "http://127.0.0.1:" + std::to_string(m_port);
  std::vector<std::string> expected;
  for (std::string p : {"late", "narrow", "fast", "hop", "hop2", "flaky"}) {
    expected.push_back(host + "/mirror/" + p + "/" + kSong);
  }
  expected.push_back(host + "/songs/" + kSong);
  expected.push_back("../../songs/" + kSong);
  EXPECT_EQ(DownloadLinks(page.body, ".MP3"), expected);
  EXPECT_EQ(Get(m_port, "/mirror/nosuch/" + kSong).status, 404);
  EXPECT_EQ(Get(m_port, "/mirror/bad%20name!/" + kSong).status, 404);
}

TEST_F(MirrorTest, HugeOrNegativeNumbersAreClampedNotWrapped) {
  WriteFile(m_base + "/clamp.ini",
            "[huge]\nLatencyMs=99999999999999\nRateKBps=9223372036854775807\nDropAfterBytes=99999999999999999\n"
            "[negative]\nLatencyMs=-5\nRateKBps=-1\nDropAfterBytes=-9223372036854775808\n"
            "[edge]\nLatencyMs=60000\nRateKBps=1048576\nDropAfterBytes=1099511627776\n");
  const std::vector<MirrorProfile> p = LoadMirrorProfiles(m_base + "/clamp.ini");
  ASSERT_EQ(p.size(), 3u);
  for (const MirrorProfile& m : {p[0], p[2]}) {
    EXPECT_EQ(m.latencyMs, 60000) << m.name;
    EXPECT_EQ(m.rateBytesPerSecond, 1048576L * 1024) << m.name;
    EXPECT_EQ(m.dropAfterBytes, 1L << 40) << m.name;
  }
  EXPECT_EQ(p[1].latencyMs, 0);
  EXPECT_EQ(p[1].rateBytesPerSecond, 0);
  EXPECT_EQ(p[1].dropAfterBytes, 0);
}

// The demo paces the site's own links with a "songs" profile that is not
// offered as a mirror; without one they stay as fast as the machine.
TEST_F(MirrorTest, SongsProfilePacesTheSitesOwnLinks) {
  ASSERT_TRUE(Get(m_port, "/songs/" + kSong, "Range: bytes=0-102399\r\n").body == m_data.substr(0, 102400));
  WriteFile(m_root + "/mirrors.ini", "[fast]\n[songs]\nListed=0\nRateKBps=200\n");
  const auto start = Clock::now();
  Reply r = Get(m_port, "/songs/" + kSong, "Range: bytes=0-102399\r\n");
  EXPECT_EQ(r.status, 206);
  EXPECT_TRUE(r.body == m_data.substr(0, 102400));
  EXPECT_GE(MillisSince(start), 400);  // 100 KiB at 200 KiB/s
  Reply page = Get(m_port, "/cgi-bin/music/mp3.cgi?_searchkey=%D2%B9%C0%B4%CF%E3");
  EXPECT_NE(page.body.find("/mirror/fast/"), std::string::npos);
  EXPECT_EQ(page.body.find("/mirror/songs/"), std::string::npos);
}

TEST_F(MirrorTest, StopEndsASlowTransferAtOnce) {
  WriteFile(m_root + "/mirrors.ini", "[crawl]\nRateKBps=1\n");
  int fd = vtest::ConnectLoopback(m_port, 10000);
  ASSERT_GE(fd, 0);
  std::string req = "GET /mirror/crawl/" + kSong + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  // 300 KB at 1 KiB/s would take five minutes; wait for the first bytes.
  std::string got;
  char buf[4096];
  for (int i = 0; i < 100 && got.find("\r\n\r\n") == std::string::npos; ++i) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  ASSERT_EQ(ParseReply(got).status, 200);
  auto start = Clock::now();
  m_server->Stop();
  EXPECT_LT(MillisSince(start), 3000);
  for (int i = 0; i < 1000; ++i) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  EXPECT_LT(got.size(), m_data.size());
}

}  // namespace
