// The plain song host: whole files, HEAD, single ranges and validators.
#include <gmock/gmock.h>

#include "tests/server/ServerHarness.h"

using namespace harness;

namespace {

class SongHostTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    m_data = AddSong("专辑/甜蜜蜜.mp3", 70000);
    AddSong("empty.mp3", 0);
    StartServer();
  }
  const std::string kPath = "/songs/%E4%B8%93%E8%BE%91/%E7%94%9C%E8%9C%9C%E8%9C%9C.mp3";
  std::string m_data;
};

TEST_F(SongHostTest, GetSendsTheWholeFileByteExact) {
  Reply r = Get(m_port, kPath);
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("content-length"), "70000");
  EXPECT_EQ(r.Header("content-type"), "audio/mpeg");
  EXPECT_EQ(r.Header("accept-ranges"), "bytes");
  EXPECT_FALSE(r.Has("content-range"));
  EXPECT_TRUE(r.body == m_data);
}

TEST_F(SongHostTest, GbkEscapedPathFindsTheSameFile) {
  Reply r = Get(m_port, "/songs/" + ClientEscape(Gbk("专辑/甜蜜蜜.mp3")));
  ASSERT_EQ(r.status, 200);
  EXPECT_TRUE(r.body == m_data);
}

TEST_F(SongHostTest, GbkEscapedPathThatIsAlsoValidUtf8FindsTheFile) {
  std::string data = AddSong("小路.mp3", 50);  // GBK D0 A1 C2 B7 reads as UTF-8 too
  Reply r = Get(m_port, "/songs/" + ClientEscape(Gbk("小路.mp3")));
  ASSERT_EQ(r.status, 200);
  EXPECT_TRUE(r.body == data);
}

TEST_F(SongHostTest, HeadGivesTheHeaderWithoutABody) {
  Reply r = Request(m_port, "HEAD", kPath);
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("content-length"), "70000");
  EXPECT_TRUE(r.body.empty());
  Reply ranged = Request(m_port, "HEAD", kPath, "Range: bytes=10-19\r\n");
  EXPECT_EQ(ranged.status, 206);
  EXPECT_EQ(ranged.Header("content-range"), "bytes 10-19/70000");
  EXPECT_TRUE(ranged.body.empty());
}

TEST_F(SongHostTest, RangesAnswer206WithTheirBytes) {
  struct Case {
    std::string range, contentRange;
    size_t first, length;
  } cases[] = {
      {"bytes=0-0", "bytes 0-0/70000", 0, 1},
      {"bytes=100-1123", "bytes 100-1123/70000", 100, 1024},
      {"bytes=1-", "bytes 1-69999/70000", 1, 69999},            // the engine's range probe
      {"bytes=69999-", "bytes 69999-69999/70000", 69999, 1},    // last byte
      {"bytes=69000-99999", "bytes 69000-69999/70000", 69000, 1000},  // end cut to the file
      {"bytes=-500", "bytes 69500-69999/70000", 69500, 500},
      {"bytes=-90000", "bytes 0-69999/70000", 0, 70000},
  };
  for (const Case& c : cases) {
    Reply r = Get(m_port, kPath, "Range: " + c.range + "\r\n");
    ASSERT_EQ(r.status, 206) << c.range;
    EXPECT_EQ(r.Header("content-range"), c.contentRange) << c.range;
    EXPECT_EQ(r.Header("content-length"), std::to_string(c.length)) << c.range;
    EXPECT_TRUE(r.body == m_data.substr(c.first, c.length)) << c.range;
  }
}

TEST_F(SongHostTest, RangePastTheEndIs416WithTheLength) {
  for (std::string range : {"bytes=70000-", "bytes=70000-70010", "bytes=-0", "bytes=999999-"}) {
    Reply r = Get(m_port, kPath, "Range: " + range + "\r\n");
    EXPECT_EQ(r.status, 416) << range;
    EXPECT_EQ(r.Header("content-range"), "bytes */70000") << range;
    EXPECT_EQ(r.body.find(m_data.substr(0, 64)), std::string::npos) << range;
  }
  Reply empty = Get(m_port, "/songs/empty.mp3", "Range: bytes=0-\r\n");
  EXPECT_EQ(empty.status, 416);
  Reply whole = Get(m_port, "/songs/empty.mp3");
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.Header("content-length"), "0");
}

TEST_F(SongHostTest, RangesWeDoNotServeGiveTheWholeFileOrNothing) {
  Reply several = Get(m_port, kPath, "Range: bytes=0-1,5-6\r\n");
  EXPECT_EQ(several.status, 200);
  EXPECT_TRUE(several.body == m_data);
  // Unreadable ones are refused by the HTTP layer; never a wrong slice.
  for (std::string range : {"bytes=20-10", "items=0-5", "bytes=x-y"}) {
    Reply r = Get(m_port, kPath, "Range: " + range + "\r\n");
    EXPECT_TRUE((r.status == 200 && r.body == m_data) || (r.status == 416 && r.body.empty())) << range;
  }
}

TEST_F(SongHostTest, ETagIsStableAndValidatesConditionalRequests) {
  Reply first = Get(m_port, kPath);
  std::string etag = first.Header("etag");
  ASSERT_FALSE(etag.empty());
  EXPECT_EQ(Get(m_port, kPath).Header("etag"), etag);
  Reply unchanged = Get(m_port, kPath, "If-None-Match: " + etag + "\r\n");
  EXPECT_EQ(unchanged.status, 304);
  EXPECT_TRUE(unchanged.body.empty());
  // A range is honoured only against the same version of the file.
  Reply sameVersion = Get(m_port, kPath, "Range: bytes=5-9\r\nIf-Range: " + etag + "\r\n");
  EXPECT_EQ(sameVersion.status, 206);
  Reply otherVersion = Get(m_port, kPath, "Range: bytes=5-9\r\nIf-Range: \"other\"\r\n");
  EXPECT_EQ(otherVersion.status, 200);
  EXPECT_EQ(otherVersion.body.size(), m_data.size());
  // Rewriting the file gives it a new tag.
  AddSong("专辑/甜蜜蜜.mp3", 70001);
  EXPECT_NE(Get(m_port, kPath).Header("etag"), etag);
}

TEST_F(SongHostTest, MissingFilesAndFoldersAre404) {
  EXPECT_EQ(Get(m_port, "/songs/nosuch.mp3").status, 404);
  EXPECT_EQ(Get(m_port, "/songs/%E4%B8%93%E8%BE%91").status, 404);
  EXPECT_EQ(Get(m_port, "/songs/").status, 404);
  EXPECT_EQ(Get(m_port, "/nowhere.htm").status, 404);
}

TEST_F(SongHostTest, KeepAliveServesOneRequestAfterAnotherOnOneConnection) {
  // The engine follows a redirect to the same host over the open connection.
  int fd = vtest::ConnectLoopback(m_port, 5000);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 3; ++i) {
    std::string range = "bytes=" + std::to_string(i * 10) + "-" + std::to_string(i * 10 + 9);
    std::string req = "GET " + kPath + " HTTP/1.1\r\nHost: x\r\nRange: " + range + "\r\n\r\n";
    ASSERT_EQ(send(fd, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    std::string raw;
    char c;
    // Header, then exactly the ten body bytes.
    for (int guard = 0; guard < 4096 && raw.find("\r\n\r\n") == std::string::npos; ++guard) {
      if (recv(fd, &c, 1, 0) != 1) break;
      raw += c;
    }
    char body[10];
    size_t got = 0;
    for (int guard = 0; guard < 100 && got < sizeof body; ++guard) {
      ssize_t n = recv(fd, body + got, sizeof body - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    Reply r = ParseReply(raw);
    ASSERT_EQ(r.status, 206) << "request " << i;
    ASSERT_EQ(got, sizeof body);
    EXPECT_EQ(std::string(body, got), m_data.substr(i * 10, 10));
  }
  close(fd);
}

TEST_F(SongHostTest, LogHasOneLinePerRequestWithRangeStatusAndBytes) {
  Get(m_port, kPath, "Range: bytes=0-99\r\n");
  Get(m_port, "/songs/nosuch.mp3");
  Request(m_port, "HEAD", kPath);
  m_server->Stop();
  std::string log = Log();
  EXPECT_THAT(log, ::testing::HasSubstr("GET " + kPath + " range=bytes=0-99 206 100\n"));
  EXPECT_THAT(log, ::testing::HasSubstr("GET /songs/nosuch.mp3 range=- 404 "));
  EXPECT_THAT(log, ::testing::HasSubstr("HEAD " + kPath + " range=- 200 0\n"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
}

}  // namespace
