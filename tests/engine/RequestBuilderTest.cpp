// The exact bytes of a request: every server we talk to has seen these.
#include <gtest/gtest.h>

#include "engine/http/RequestBuilder.h"

namespace {

const std::string kAgent = "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";

std::string Expected(const std::string& object, const std::string& host, const std::string& range) {
  return "GET " + object + " HTTP/1.1\r\nHost:" + host + "\r\nAccept:*/*\r\n" + kAgent +
         "Connection:Keep-Alive\r\n" + range + "\r\n";
}

std::string Build(const std::string& host, const std::string& target, long long start, long long end,
                  bool fromZero = false) {
  RequestLines in;
  in.host = host;
  in.target = target;
  in.start = start;
  in.end = end;
  in.askFromZero = fromZero;
  std::string out = "junk";
  EXPECT_TRUE(RequestBuilder::Build(in, out));
  return out;
}

TEST(RequestBuilder, WorkedExampleBytes) {
  EXPECT_EQ(Build("H", "/a/b.mp3", 262144, 524287), Expected("/a/b.mp3", "H", "Range: bytes=262144-524287\r\n"));
}

TEST(RequestBuilder, RangeLineRules) {
  // Start 0 never asks for a range, whatever the end...
  EXPECT_EQ(Build("h", "/x", 0, 999), Expected("/x", "h", ""));
  // ...unless the caller wants a range from byte 0.
  EXPECT_EQ(Build("h", "/x", 0, 999, true), Expected("/x", "h", "Range: bytes=0-999\r\n"));
  EXPECT_EQ(Build("h", "/x", 0, 0, true), Expected("/x", "h", "Range: bytes=0-\r\n"));
  // A one-byte block at S: the end is not above the start, so the range is open.
  EXPECT_EQ(Build("h", "/x", 777, 777), Expected("/x", "h", "Range: bytes=777-\r\n"));
  // The range probe.
  EXPECT_EQ(Build("h", "/x", 1, 0), Expected("/x", "h", "Range: bytes=1-\r\n"));
}

TEST(RequestBuilder, RefererCookieAndProxyLines) {
  RequestLines in;
  in.host = "h";
  in.target = "/x";
  in.cookie = "k=v";
  in.referer = "http://r/";
  in.start = 5;
  in.extraLines = "Proxy-Authorization: Basic eA==\r\n";
  std::string out;
  ASSERT_TRUE(RequestBuilder::Build(in, out));
  EXPECT_EQ(out, "GET /x HTTP/1.1\r\nHost:h\r\nReferer:http://r/\r\nAccept:*/*\r\n" + kAgent +
                     "Connection:Keep-Alive\r\nSet Cookie:0k=v\r\nRange: bytes=5-\r\n"
                     "Proxy-Authorization: Basic eA==\r\n\r\n");
}

TEST(RequestBuilder, BlanksAndControlBytesAreEscapedInTheRequestLine) {
  const std::string req = Build("h", "/my song\x01.mp3?q=a b", 0, 0);
  EXPECT_EQ(req.substr(0, req.find("\r\n")), "GET /my%20song%01.mp3?q=a%20b HTTP/1.1");
}

TEST(RequestBuilder, TooLongRequestIsRefusedNeverCut) {
  const size_t base = Expected("/", "h", "").size() - 1;  // without the object's "/"
  // One byte of the room is the NUL's: 1023 bytes of text fit.
  const std::string fits = "/" + std::string(RequestBuilder::kMaxBytes - 1 - base - 1, 'a');
  EXPECT_EQ(Build("h", fits, 0, 0).size(), 1023u);
  RequestLines in;
  in.host = "h";
  in.target = fits + "a";
  std::string out = "junk";
  EXPECT_FALSE(RequestBuilder::Build(in, out));
  EXPECT_EQ(out, "");
  in.target = "/" + std::string(5000, 'b');
  in.start = 5;
  in.end = 9;
  EXPECT_FALSE(RequestBuilder::Build(in, out));
  EXPECT_EQ(out, "");
}

}  // namespace
