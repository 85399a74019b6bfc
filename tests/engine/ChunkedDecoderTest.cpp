// The chunked-body decoder on its own: any split of the input gives the
// same bytes, and whatever is not chunked coding is refused.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/http/ChunkedDecoder.h"
#include "tests/support/TempHome.h"

namespace {

struct Outcome {
  ChunkedStatus status = ChunkedStatus::kMore;
  std::string data;
  size_t unused = 0;  // input bytes left after kDone
};

// Feeds the message in pieces of `piece` bytes, decoding in place as the
// receive loop does.
Outcome Decode(const std::string& wire, size_t piece) {
  CChunkedDecoder d;
  Outcome o;
  for (size_t off = 0; off < wire.size() && o.status == ChunkedStatus::kMore; off += piece) {
    std::string buf = wire.substr(off, piece);
    size_t used = 0, produced = 0;
    o.status = d.Feed(buf.data(), buf.size(), buf.data(), used, produced);
    o.data.append(buf.data(), produced);
    if (o.status == ChunkedStatus::kDone) o.unused = wire.size() - off - used;
  }
  return o;
}

std::string Chunk(const std::string& data, const std::string& sizeSuffix = "") {
  char line[32];
  std::snprintf(line, sizeof line, "%zx", data.size());
  return line + sizeSuffix + "\r\n" + data + "\r\n";
}

TEST(ChunkedDecoder, AnySplitGivesTheSameData) {
  const std::string a = vtest::RandomBytes(3000, 1), b = vtest::RandomBytes(17, 2);
  // Upper-case hex, an extension, blanks before it, a trailer and a body
  // whose bytes look like CR LF and size lines.
  const std::string c = "\r\n0\r\n\r\n";
  const std::string wire = Chunk(a) + Chunk(b, " ;name=\"v\"") + "3;x\r\n" + c.substr(0, 3) + "\r\n" +
                           "0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n";
  const std::string want = a + b + c.substr(0, 3);
  for (size_t piece : {wire.size(), size_t{1}, size_t{2}, size_t{7}, size_t{1024}}) {
    Outcome o = Decode(wire, piece);
    EXPECT_EQ(o.status, ChunkedStatus::kDone) << piece;
    EXPECT_EQ(o.data, want) << piece;
    EXPECT_EQ(o.unused, 0u) << piece;
  }
  std::string upper = "1A\r\n" + std::string(26, 'q') + "\r\n0\r\n\r\n";
  EXPECT_EQ(Decode(upper, 5).data, std::string(26, 'q'));
}

TEST(ChunkedDecoder, StopsAtTheEndOfTheMessage) {
  // What follows the final blank line is the next reply, not the body.
  const std::string wire = Chunk("abc") + "0\r\n\r\nHTTP/1.1 200 OK\r\n";
  Outcome o = Decode(wire, wire.size());
  EXPECT_EQ(o.status, ChunkedStatus::kDone);
  EXPECT_EQ(o.data, "abc");
  EXPECT_EQ(o.unused, std::string("HTTP/1.1 200 OK\r\n").size());
  // Bare LF line ends, as some small servers write them.
  Outcome lf = Decode("3\nabc\n0\n\n", 1);
  EXPECT_EQ(lf.status, ChunkedStatus::kDone);
  EXPECT_EQ(lf.data, "abc");
}

TEST(ChunkedDecoder, UnfinishedMessageAsksForMore) {
  CChunkedDecoder d;
  std::string part = Chunk("hello") + "0\r\n";  // final blank line missing
  size_t used = 0, produced = 0;
  EXPECT_EQ(d.Feed(part.data(), part.size(), part.data(), used, produced), ChunkedStatus::kMore);
  EXPECT_EQ(used, part.size());
  EXPECT_FALSE(d.Done());
  EXPECT_EQ(d.Decoded(), 5u);
}

TEST(ChunkedDecoder, RefusesWhatIsNotChunkedCoding) {
  const std::vector<std::string> bad = {
      "<html>busy</html>",                       // a page, not a size line
      "\r\n",                                    // empty size line
      "-5\r\nabcde\r\n0\r\n\r\n",                // sign
      "5\r\nabcdeXY0\r\n\r\n",                   // no CR LF after the data
      "5\r\nabcde\rX",                           // CR without LF
      "5 x\x01\r\nabcde\r\n",                    // control byte in an extension
      "1234567890abcdef0\r\n",                   // more digits than fit
      "5" + std::string(5000, ' ') + "\r\n",     // endless size line
      "0\r\n" + std::string(20000, 'T'),         // endless trailer
  };
  for (const std::string& wire : bad) {
    for (size_t piece : {wire.size(), size_t{1}}) {
      Outcome o = Decode(wire, piece);
      EXPECT_EQ(o.status, ChunkedStatus::kError) << wire.substr(0, 40) << " / " << piece;
    }
  }
  // An error is final.
  CChunkedDecoder d;
  std::string x = "g\r\n", ok = "0\r\n\r\n";
  size_t used = 0, produced = 0;
  EXPECT_EQ(d.Feed(x.data(), x.size(), x.data(), used, produced), ChunkedStatus::kError);
  EXPECT_EQ(d.Feed(ok.data(), ok.size(), ok.data(), used, produced), ChunkedStatus::kError);
  EXPECT_TRUE(d.Failed());
}

}  // namespace
