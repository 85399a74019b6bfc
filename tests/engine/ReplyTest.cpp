// What a reply's header says, and how it is read off a connection.
#include <cerrno>
#include <climits>
#include <functional>

#include <gtest/gtest.h>

#include "engine/Common.h"
#include "engine/http/Connection.h"
#include "engine/http/Reply.h"
#include "tests/support/ScriptedServer.h"

namespace {

using vtest::Route;

TEST(Reply, StatusCode) {
  EXPECT_EQ(Reply(std::string("HTTP/1.1 206 Partial Content\r\n\r\n")).Status(), 206);
  EXPECT_EQ(Reply(std::string("HTTP/1.1 20")).Status(), 0);
  EXPECT_EQ(Reply(std::string()).Status(), 0);
}

TEST(Reply, ValueLookup) {
  const std::string h =
      "HTTP/1.1 200 OK\r\nX-Note: Content-Length: 5\r\nContent-Length-Extra: 9\r\n"
      "content-length:\t  7\r\nContent-Type:audio/mpeg\r\nEmpty:\r\nETag: \"abcdef\"\r\n\r\n";
  const Reply r(h);
  std::string v = "junk";
  // A name inside another header's value, or a longer name, is not the header.
  EXPECT_EQ(r.Value("Content-Length", v, 256), 1);
  EXPECT_EQ(v, "7");
  EXPECT_EQ(r.Value("CONTENT-TYPE", v, 256), 10);
  EXPECT_EQ(v, "audio/mpeg");
  EXPECT_EQ(r.Value("Empty", v, 256), 0);
  EXPECT_EQ(v, "");
  EXPECT_TRUE(r.Has("Empty"));
  EXPECT_EQ(r.Value("ETag", v, 3), 3);
  EXPECT_EQ(v, "\"ab");
  v = "junk";
  EXPECT_EQ(r.Value("Location", v, 256), -1);
  EXPECT_EQ(v, "");
  EXPECT_FALSE(r.Has("Location"));
  EXPECT_EQ(r.Value("Location"), "");
  // The status line is not a header line.
  EXPECT_EQ(r.Value("HTTP/1.1 200 OK", v, 256), -1);
  EXPECT_EQ(r.StatusLine(), "HTTP/1.1 200 OK");
  // A value without its line end (a cut header) is empty.
  EXPECT_EQ(Reply(std::string("HTTP/1.1 200 OK\r\nContent-Length: 12")).Value("Content-Length", v, 256), 0);
  EXPECT_EQ(v, "");
}

long long LengthOf(const std::string& value) {
  return Reply("HTTP/1.1 200 OK\r\nContent-Length:" + value + "\r\n\r\n").ContentLength();
}

TEST(Reply, OneContentLengthRule) {
  EXPECT_EQ(Reply(std::string("HTTP/1.1 200 OK\r\n\r\n")).ContentLength(), Reply::kNoLength);
  EXPECT_EQ(LengthOf("0"), 0);
  EXPECT_EQ(LengthOf(" \t4321 "), 4321);
  EXPECT_EQ(LengthOf("99999999999"), 99999999999LL);
  EXPECT_EQ(LengthOf("999999999999999999"), 999999999999999999LL);
  // Anything we cannot read exactly is no length: not its leading digits.
  for (const char* bad : {"", "12abc", "-5", "+5", "1 2", "0x10", "1234567890123456789", "5, 5"})
    EXPECT_EQ(LengthOf(bad), Reply::kUnreadable) << bad;
}

TEST(Reply, Framing) {
  BodyFraming f = Reply(std::string("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n")).Framing();
  EXPECT_EQ(f.coding, BodyCoding::kIdentity);
  EXPECT_EQ(f.length, 9);
  // Up to the close: no length, or one that does not read.
  EXPECT_EQ(Reply(std::string("HTTP/1.1 200 OK\r\n\r\n")).Framing().length, -1);
  EXPECT_EQ(Reply(std::string("HTTP/1.1 200 OK\r\nContent-Length: 9x\r\n\r\n")).Framing().length, -1);
  // A chunked body's Content-Length does not count.
  f = Reply(std::string("HTTP/1.1 200 OK\r\nContent-Length: 9\r\nTransfer-Encoding: chunked\r\n\r\n")).Framing();
  EXPECT_EQ(f.coding, BodyCoding::kChunked);
  EXPECT_EQ(f.length, -1);
  EXPECT_EQ(Reply(std::string("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n")).Coding(),
            BodyCoding::kUnsupported);
}

TEST(Reply, RangeOnlyOfA206AndTheClose) {
  ContentRange range;
  ASSERT_TRUE(Reply(std::string("HTTP/1.1 206 Partial\r\nContent-Range: bytes 5-9/100\r\n\r\n")).Range(range));
  EXPECT_EQ(range.first, 5);
  EXPECT_EQ(range.last, 9);
  EXPECT_EQ(range.total, 100);
  EXPECT_FALSE(Reply(std::string("HTTP/1.1 200 OK\r\nContent-Range: bytes 5-9/100\r\n\r\n")).Range(range));
  EXPECT_FALSE(Reply(std::string("HTTP/1.1 206 Partial\r\nContent-Range: bytes */100\r\n\r\n")).Range(range));
  EXPECT_TRUE(Reply(std::string("HTTP/1.1 200 OK\r\nConnection: Close\r\n\r\n")).Closes());
  EXPECT_FALSE(Reply(std::string("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n")).Closes());
  EXPECT_FALSE(Reply(std::string("HTTP/1.1 200 OK\r\n\r\n")).Closes());
}

// A raw reply read off a real loopback connection.
class ReplyRead : public ::testing::Test {
 protected:
  Reply::ReadEnd Read(const std::string& raw) {
    Route r = Route::Raw(raw);
    m_srv.route("/r", r);
    const std::string request = "GET /r HTTP/1.1\r\nHost:x\r\n\r\n";
    EXPECT_TRUE(m_conn.Open(CRequestRoute::Direct("127.0.0.1", m_srv.port()), GetTickMs() + 5000,
                            [] { return false; }, false));
    EXPECT_EQ(m_conn.Send(request.data(), request.size()), static_cast<ssize_t>(request.size()));
    return Reply::ReadFrom(m_conn, m_buf, sizeof m_buf, m_length, m_err);
  }
  void TearDown() override { m_conn.Close(); }

  vtest::ScriptedServer m_srv;
  CConnection m_conn;
  char m_buf[64];
  int m_length = -1;
  int m_err = -1;
};

TEST_F(ReplyRead, HeaderEndsAtTheBlankLineAndTheBodyFollows) {
  ASSERT_EQ(Read("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nBODY"), Reply::ReadEnd::kWhole);
  const std::string head(m_buf, static_cast<size_t>(m_length));
  EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n");
  EXPECT_EQ(Reply(head).Status(), 200);
  EXPECT_EQ(m_err, 0);
  char body[8] = {};
  size_t got = 0;
  for (int i = 0; i < 100 && got < 4; ++i) {
    const ssize_t n = m_conn.Recv(body + got, 4 - got, false);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  EXPECT_STREQ(body, "BODY");
}

TEST_F(ReplyRead, AFullBufferWithoutTheBlankLineIsTooLong) {
  // Exactly the buffer, ending with its blank line, is whole.
  std::string fits = "HTTP/1.1 200 OK\r\nX: ";
  fits += std::string(sizeof m_buf - fits.size() - 4, 'p') + "\r\n\r\n";
  ASSERT_EQ(fits.size(), sizeof m_buf);
  EXPECT_EQ(Read(fits), Reply::ReadEnd::kWhole);
  EXPECT_EQ(m_length, static_cast<int>(sizeof m_buf));
  m_conn.Close();
  EXPECT_EQ(Read("HTTP/1.1 200 OK\r\nX: " + std::string(100, 'p') + "\r\n\r\n"), Reply::ReadEnd::kTooLong);
  EXPECT_EQ(m_length, static_cast<int>(sizeof m_buf));
}

TEST_F(ReplyRead, ACloseCutsTheHeader) {
  EXPECT_EQ(Read("HTTP/1.1 200 OK\r\nContent-Le"), Reply::ReadEnd::kCut);
  EXPECT_EQ(m_length, 27);
  EXPECT_EQ(m_err, 0) << "bytes came before the close";
  m_conn.Close();
  EXPECT_EQ(Read(""), Reply::ReadEnd::kCut);
  EXPECT_EQ(m_length, 0);
  EXPECT_EQ(m_err, ECONNRESET) << "a close before any byte";
}

}  // namespace
