// Extra "?" of a request target reach the routes escaped; nothing else of
// the incoming bytes changes, however they are split.
#include <gtest/gtest.h>

#include "server/LenientServer.h"

namespace {

std::string Mend(const std::string& in, size_t piece) {
  CRequestLineMender mender;
  std::string out;
  for (size_t at = 0; at < in.size(); at += piece) mender.Feed(in.data() + at, std::min(piece, in.size() - at), out);
  return out;
}

TEST(LenientServerTest, OnlyLaterQuestionMarksOfTheTargetAreEscaped) {
  const std::string in =
      "GET /s?k=a?b?c HTTP/1.1\r\nHost: h?x\r\nX-Q: ?\r\n\r\n"
      "POST /p?x HTTP/1.1\r\nContent-Length: 9\r\n\r\nbody?a?b?"
      "GET /t?y=? HTTP/1.0\r\n\r\n"
      "GET /plain HTTP/1.1\r\n\r\n";
  const std::string want =
      "GET /s?k=a%3Fb%3Fc HTTP/1.1\r\nHost: h?x\r\nX-Q: ?\r\n\r\n"
      "POST /p?x HTTP/1.1\r\nContent-Length: 9\r\n\r\nbody?a?b?"
      "GET /t?y=%3F HTTP/1.0\r\n\r\n"
      "GET /plain HTTP/1.1\r\n\r\n";
  for (size_t piece : {in.size(), size_t{1}, size_t{2}, size_t{7}}) EXPECT_EQ(Mend(in, piece), want) << piece;
}

TEST(LenientServerTest, AChunkedBodyEndsTheRewriting) {
  const std::string in =
      "POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\na?b\r\n0\r\n\r\nGET /x?a?b HTTP/1.1\r\n\r\n";
  EXPECT_EQ(Mend(in, 5), in);
}

}  // namespace
