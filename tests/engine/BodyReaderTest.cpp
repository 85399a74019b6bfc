// The one body reader over a real loopback connection: a told length, up
// to the close, chunked, and its byte cap.
#include <string>

#include <gtest/gtest.h>

#include "engine/Common.h"
#include "engine/http/BodyReader.h"
#include "engine/http/Connection.h"
#include "tests/support/ScriptedServer.h"

namespace {

using vtest::Route;
using Got = BodyReader::Got;

class BodyReaderTest : public ::testing::Test {
 protected:
  // Sends a request for a raw reply and reads its header, so the
  // connection stands at the body's first byte.
  Reply Ask(const std::string& raw) {
    m_srv.route("/r", Route::Raw(raw));
    const std::string request = "GET /r HTTP/1.1\r\nHost:x\r\n\r\n";
    EXPECT_TRUE(m_conn.Open(CRequestRoute::Direct("127.0.0.1", m_srv.port()), GetTickMs() + 5000,
                            [] { return false; }, false));
    EXPECT_EQ(m_conn.Send(request.data(), request.size()), static_cast<ssize_t>(request.size()));
    Reply::ReadFrom(m_conn, m_head, sizeof m_head, m_length, m_err);
    return Reply(m_head, static_cast<size_t>(m_length));
  }
  // Reads the whole body in pieces of `piece`; the last status in `end`.
  std::string ReadAll(BodyReader& r, size_t piece, Got& end) {
    std::string out;
    for (int i = 0; i < 10000; ++i) {
      end = r.Next(piece, false);
      if (end != Got::kData) break;
      out.append(r.Data(), r.Size());
    }
    return out;
  }
  void TearDown() override { m_conn.Close(); }

  vtest::ScriptedServer m_srv;
  CConnection m_conn;
  char m_head[1024];
  int m_length = 0, m_err = 0;
};

TEST_F(BodyReaderTest, ATellsLengthEndsThereAndLeavesTheRestUnread) {
  const Reply reply = Ask("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789NEXT");
  BodyReader r(m_conn, reply.Framing());
  Got end = Got::kData;
  EXPECT_EQ(ReadAll(r, 3, end), "0123456789");
  EXPECT_EQ(end, Got::kEnd);
  EXPECT_TRUE(r.Ended());
  EXPECT_FALSE(r.EndsAtClose());
  // The next bytes on the connection are the next answer's.
  char next[4];
  ASSERT_EQ(m_conn.Recv(next, 4, false), 4);
  EXPECT_EQ(std::string(next, 4), "NEXT");
}

TEST_F(BodyReaderTest, WithoutALengthTheCloseEndsIt) {
  const Reply reply = Ask("HTTP/1.1 200 OK\r\n\r\nall of it");
  BodyReader r(m_conn, reply.Framing());
  Got end = Got::kData;
  EXPECT_EQ(ReadAll(r, 1024, end), "all of it");
  EXPECT_EQ(end, Got::kClosed);
  EXPECT_TRUE(r.EndsAtClose());
  EXPECT_FALSE(r.Ended());
}

TEST_F(BodyReaderTest, AToldLengthCutShortIsAClose) {
  const Reply reply = Ask("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort");
  BodyReader r(m_conn, reply.Framing());
  Got end = Got::kData;
  EXPECT_EQ(ReadAll(r, 1024, end), "short");
  EXPECT_EQ(end, Got::kClosed);
  EXPECT_FALSE(r.EndsAtClose()) << "a told length is no body up to the close";
}

TEST_F(BodyReaderTest, ChunkedIsDecodedAndEndsAtTheLastChunk) {
  const Reply reply = Ask(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"
      "5\r\nhello\r\n1;ext=1\r\n \r\n6\r\nworld!\r\n0\r\nTrailer: x\r\n\r\nNEXT");
  BodyReader r(m_conn, reply.Framing());
  Got end = Got::kData;
  // Pieces smaller than a size line still decode.
  EXPECT_EQ(ReadAll(r, 2, end), "hello world!");
  EXPECT_EQ(end, Got::kEnd);
  EXPECT_TRUE(r.Ended());
  char next[4];
  ASSERT_EQ(m_conn.Recv(next, 4, false), 4);
  EXPECT_EQ(std::string(next, 4), "NEXT");
}

TEST_F(BodyReaderTest, ABrokenChunkIsSaid) {
  const Reply reply = Ask("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\n");
  BodyReader r(m_conn, reply.Framing());
  Got end = Got::kData;
  EXPECT_EQ(ReadAll(r, 1024, end), "");
  EXPECT_EQ(end, Got::kBadChunk);
}

TEST_F(BodyReaderTest, TheCapBoundsTheRawBytesTaken) {
  const Reply reply = Ask("HTTP/1.1 200 OK\r\n\r\n0123456789abcdef");
  BodyReader r(m_conn, reply.Framing(), 10, 4);
  Got end = Got::kData;
  EXPECT_EQ(ReadAll(r, 1024, end), "0123456789") << "never more than the buffer or the cap";
  EXPECT_EQ(end, Got::kCapped);
  EXPECT_EQ(r.RawTotal(), 10);
  char rest[6];
  ASSERT_EQ(m_conn.Recv(rest, 6, false), 6);
  EXPECT_EQ(std::string(rest, 6), "abcdef");
}

TEST_F(BodyReaderTest, NothingThereYetIsNoEnd) {
  Route r = Route::File("ok");
  r.faults.stallAfterBodyBytes = 0;
  r.faults.stallMs = 300;
  m_srv.route("/r", r);
  const std::string request = "GET /r HTTP/1.1\r\nHost:x\r\n\r\n";
  ASSERT_TRUE(m_conn.Open(CRequestRoute::Direct("127.0.0.1", m_srv.port()), GetTickMs() + 5000,
                          [] { return false; }, false));
  ASSERT_EQ(m_conn.Send(request.data(), request.size()), static_cast<ssize_t>(request.size()));
  ASSERT_EQ(Reply::ReadFrom(m_conn, m_head, sizeof m_head, m_length, m_err), Reply::ReadEnd::kWhole);
  BodyReader body(m_conn, Reply(m_head, static_cast<size_t>(m_length)).Framing());
  EXPECT_EQ(body.Next(1024, true), Got::kWouldBlock);
  Got end = Got::kData;
  EXPECT_EQ(ReadAll(body, 1024, end), "ok");
  EXPECT_EQ(end, Got::kEnd);
}

}  // namespace
