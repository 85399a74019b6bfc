// What a block's reply has to be before its body may reach the block file.
#include <climits>

#include <gtest/gtest.h>

#include "engine/http/BlockReplyCheck.h"
#include "engine/http/HttpSocket.h"

namespace {

using V = BlockReplyVerdict;

V Check(const std::string& lines, long long start, long long file) {
  return CheckBlockReply(Reply(lines + "\r\n"), start, file);
}

TEST(BlockReplyCheck, TheBodyMustStartAtTheByteAskedFor) {
  EXPECT_EQ(Check("HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/1000\r\n", 100, 1000).kind, V::kFits);
  EXPECT_EQ(Check("HTTP/1.1 206 P\r\nContent-Range: bytes 101-199/1000\r\n", 100, 1000).kind, V::kMismatch);
  // From byte 0: a whole-file 200, or a 206 from 0.
  EXPECT_EQ(Check("HTTP/1.1 200 OK\r\n", 0, 0).kind, V::kFits);
  EXPECT_EQ(Check("HTTP/1.1 206 P\r\nContent-Range: bytes 0-9/1000\r\n", 0, 1000).kind, V::kFits);
  // A 200 to a request from the middle is the whole file: not our bytes.
  EXPECT_EQ(Check("HTTP/1.1 200 OK\r\n", 100, 1000).kind, V::kMismatch);
  const V page = Check("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n", 0, 0);
  EXPECT_EQ(page.kind, V::kMismatch);
  EXPECT_EQ(page.status, 404);
}

TEST(BlockReplyCheck, AnotherTotalIsAnotherFile) {
  EXPECT_EQ(Check("HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/1007\r\n", 100, 1000).kind, V::kFileChanged);
  EXPECT_EQ(Check("HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/*\r\n", 100, 1000).kind, V::kFits);
  EXPECT_EQ(Check("HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/1007\r\n", 100, 0).kind, V::kFits)
      << "no agreed length to differ from";
}

TEST(BlockReplyCheck, TheLengthMustBeTheOneTheStatusPromises) {
  V v = Check("HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/1000\r\nContent-Length: 100\r\n", 100, 1000);
  EXPECT_EQ(v.kind, V::kFits);
  EXPECT_EQ(v.framing.length, 100);
  EXPECT_EQ(Check("HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/1000\r\nContent-Length: 99\r\n", 100, 1000).kind,
            V::kMismatch);
  EXPECT_EQ(Check("HTTP/1.1 200 OK\r\nContent-Length: 28\r\n", 0, 1000).kind, V::kMismatch) << "a busy page";
  EXPECT_EQ(Check("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n", 0, 1000).framing.length, 1000);
  EXPECT_EQ(Check("HTTP/1.1 200 OK\r\nContent-Length: 10x\r\n", 0, 0).kind, V::kMismatch) << "unreadable";
  // Chunked: its Content-Length does not count, even a wrong one.
  v = Check("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n", 0, 1000);
  EXPECT_EQ(v.kind, V::kFits);
  EXPECT_EQ(v.framing.coding, BodyCoding::kChunked);
  EXPECT_EQ(v.framing.length, -1);
  EXPECT_EQ(Check("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n", 0, 0).kind, V::kUnsupported);
}

TEST(BlockReplyCheck, ATextLabelIsNotedNotRefused) {
  V v = Check("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n", 0, 0);
  EXPECT_EQ(v.kind, V::kFits);
  EXPECT_TRUE(v.textLabel);
  EXPECT_FALSE(Check("HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\n", 0, 0).textLabel);
}

TEST(TimeOutMs, SecondsSaturateInsteadOfWrapping) {
  EXPECT_EQ(TimeOutMs(15), 15000);
  EXPECT_EQ(TimeOutMs(0), 0);
  EXPECT_EQ(TimeOutMs(-3), 0);
  EXPECT_EQ(TimeOutMs(INT_MAX / 100), INT_MAX);
  EXPECT_EQ(TimeOutMs(INT_MAX / 1000), INT_MAX / 1000 * 1000);
}

}  // namespace
