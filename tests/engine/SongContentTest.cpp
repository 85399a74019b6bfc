// What counts as a song and how a reply's length and coding are read.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "engine/AudioSignature.h"
#include "engine/http/HttpFraming.h"
#include "engine/SongContent.h"
#include "tests/support/TempHome.h"

namespace {

SongBytes Judge(const std::string& s) { return JudgeFirstBytes(s.data(), s.size()); }

TEST(SongContent, TextTypesAreNotSongs) {
  for (const char* t : {"text/html", "TEXT/HTML; charset=gbk", " text/plain", "application/json",
                        "Application/XML;charset=utf-8", "application/xhtml+xml", "application/problem+json"})
    EXPECT_TRUE(IsTextContentType(t)) << t;
  for (const char* t : {"", "audio/mpeg", "application/octet-stream", "audio/x-ms-wma",
                        "application/vnd.rn-realmedia", "application/x-jsonish", "video/mp4"})
    EXPECT_FALSE(IsTextContentType(t)) << t;
}

TEST(SongContent, MarkupAfterByteOrderMarkAndBlanks) {
  for (const char* page : {"<!DOCTYPE html><html>", "<html>busy, try later</html>", "<HEAD>", "<Body>",
                           "<?xml version=\"1.0\"?>", " \r\n\t<html>", "\xEF\xBB\xBF<!doctype html>",
                           "\xEF\xBB\xBF  \n<html lang=zh>"})
    EXPECT_EQ(Judge(page), SongBytes::kMarkup) << page;
}

TEST(SongContent, SoFarUndecidedUntilABlankOrMarkerEnds) {
  // A receive may end anywhere inside the first bytes of a page.
  for (const char* start : {"", "   ", "\xEF", "\xEF\xBB", "\xEF\xBB\xBF", "<", "<!DOC", " <ht", "<?x"})
    EXPECT_EQ(Judge(start), SongBytes::kUnknown) << start;
  EXPECT_EQ(Judge("<x"), SongBytes::kSong);
  EXPECT_EQ(Judge("<htmx"), SongBytes::kSong);
  EXPECT_EQ(Judge("\xEF\xBB" "A"), SongBytes::kSong);
}

TEST(SongContent, RealAudioAndArbitraryBytesPass) {
  const std::string mpegFrame = std::string("\xFF\xFB\x90\x64", 4) + std::string(400, '\0');
  const std::string id3 = std::string("ID3\x03\x00\x00\x00\x00\x0F\x76", 10) + "TIT2" + mpegFrame;
  const std::string wma = std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
  const std::string rm = std::string(".RMF\x00\x00\x00\x12\x00\x01", 10);
  for (const std::string& audio : {mpegFrame, id3, wma, rm}) EXPECT_EQ(Judge(audio), SongBytes::kSong);
  for (unsigned seed = 1; seed <= 200; ++seed) {
    std::string bytes = vtest::RandomBytes(512, seed);
    EXPECT_NE(Judge(bytes), SongBytes::kMarkup) << seed;
  }
}

TEST(SongContent, FileCheckReadsOnlyTheStart) {
  vtest::TempHome home;
  const std::string page = home.temp() + "page", song = home.temp() + "song";
  std::ofstream(page) << "\n\n<html>" << std::string(100000, 'x');
  std::ofstream(song, std::ios::binary) << std::string("ID3\x04", 4) << std::string(100000, '<');
  EXPECT_TRUE(FileStartsWithMarkup(page));
  EXPECT_FALSE(FileStartsWithMarkup(song));
  EXPECT_FALSE(FileStartsWithMarkup(home.temp() + "missing"));
}

TEST(HttpFraming, ContentLengthIsDigitsOnly) {
  long long n = -1;
  EXPECT_TRUE(ParseContentLength(" 100003 ", n));
  EXPECT_EQ(n, 100003);
  EXPECT_TRUE(ParseContentLength("0", n));
  EXPECT_EQ(n, 0);
  for (const char* bad : {"", " ", "-1", "+5", "12abc", "1 2", "0x10", "1234567890123456789"})
    EXPECT_FALSE(ParseContentLength(bad, n)) << bad;
}

TEST(HttpFraming, ContentRangeWithTotalOrStar) {
  ContentRange r;
  ASSERT_TRUE(ParseContentRange("bytes 1-100002/100003", r));
  EXPECT_EQ(r.first, 1);
  EXPECT_EQ(r.last, 100002);
  EXPECT_EQ(r.total, 100003);
  ASSERT_TRUE(ParseContentRange("Bytes=0-9/*", r));
  EXPECT_EQ(r.total, -1);
  for (const char* bad : {"", "bytes */100", "bytes 5-4/10", "bytes 0-10/10", "items 0-1/2", "bytes 0-1",
                          "bytes -1-2/5", "bytes 0-1/x", "bytes0-1/2"})
    EXPECT_FALSE(ParseContentRange(bad, r)) << bad;
}

TEST(HttpFraming, OnlyIdentityAndChunkedAreOurs) {
  EXPECT_EQ(ReadBodyCoding("", ""), BodyCoding::kIdentity);
  EXPECT_EQ(ReadBodyCoding("identity", "Identity"), BodyCoding::kIdentity);
  EXPECT_EQ(ReadBodyCoding("Chunked", ""), BodyCoding::kChunked);
  EXPECT_EQ(ReadBodyCoding(" chunked ", "identity"), BodyCoding::kChunked);
  EXPECT_EQ(ReadBodyCoding("gzip, chunked", ""), BodyCoding::kUnsupported);
  EXPECT_EQ(ReadBodyCoding("chunked, chunked", ""), BodyCoding::kUnsupported);
  EXPECT_EQ(ReadBodyCoding("", "gzip"), BodyCoding::kUnsupported);
  EXPECT_EQ(ReadBodyCoding("chunked", "br"), BodyCoding::kUnsupported);
}

}  // namespace

namespace {

// MPEG-1 layer III, 128 kbit/s, 44.1 kHz, no padding: 417-byte frames.
std::string MpegFrames(int frames) {
  std::string frame = std::string("\xFF\xFB\x90\x64", 4) + std::string(413, '\x11');
  std::string out;
  for (int i = 0; i < frames; ++i) out += frame;
  return out;
}

SongBytes Labelled(const std::string& s) { return JudgeLabelledText(s.data(), s.size()); }

TEST(SongContent, FrameLengthsFollowVersionLayerBitrateAndRate) {
  auto len = [](const char* h) { return CAudioSignature::MpegFrameLength(reinterpret_cast<const unsigned char*>(h)); };
  EXPECT_EQ(len("\xFF\xFB\x90\x64"), 417u);  // MPEG-1 III 128k 44.1k
  EXPECT_EQ(len("\xFF\xFB\x92\x64"), 418u);  // padded
  EXPECT_EQ(len("\xFF\xF3\x80\x64"), 208u);  // MPEG-2 III 64k 22.05k: 72 per sample
  EXPECT_EQ(len("\xFF\xFF\x18\x00"), 48u);   // MPEG-1 I 32k 32k: four-byte slots
  EXPECT_EQ(len("\xFF\xFD\x9C\x00"), 0u) << "sample rate reserved";
  EXPECT_EQ(len("\xFF\xFB\xF0\x00"), 0u) << "bitrate reserved";
  EXPECT_EQ(len("\xFF\xFB\x00\x00"), 0u) << "free bitrate: no length to check";
  EXPECT_EQ(len("\xFF\xEB\x90\x00"), 0u) << "version reserved";
  EXPECT_EQ(len("\xFF\xF9\x90\x00"), 0u) << "layer reserved";
}

TEST(SongContent, LabelledTextIsASongOnlyByItsAudioSignature) {
  const std::string id3 = std::string("ID3\x03\x00\x00\x00\x00\x0F\x76", 10) + "TIT2";
  const std::string wma = std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16) + "x";
  const std::string rm = std::string(".RMF\x00\x00\x00\x12\x00\x01", 10);
  for (const std::string& song : {id3, MpegFrames(2), wma, rm}) EXPECT_EQ(Labelled(song), SongBytes::kSong);

  // One header is chance; a second must sit a frame further on.
  std::string lone = MpegFrames(1) + std::string(500, 'x');
  EXPECT_EQ(Labelled(lone), SongBytes::kMarkup);
  std::string shifted = MpegFrames(2);
  shifted.insert(417, "y");
  EXPECT_EQ(Labelled(shifted), SongBytes::kMarkup);
  // UTF-16 text opens with FF FE, whose bits would pass for a sync.
  const std::string utf16("\xFF\xFE<\0h\0t\0m\0l\0>\0", 14);
  EXPECT_EQ(Labelled(utf16 + std::string(1000, '\0')), SongBytes::kMarkup);
  for (const std::string& text : {std::string("<html>busy</html>"), std::string("no such file\n"),
                                  std::string("{\"error\":404}"), std::string("ID3\x09\x00\x00\x00\x00\x00\x00", 10),
                                  std::string("ID3\x03\x00\x00\x80\x00\x00\x00", 10)})
    EXPECT_EQ(Labelled(text), SongBytes::kMarkup) << text;

  // Until a signature can be told apart, more bytes decide.
  for (const std::string& start : {std::string(), std::string("I"), std::string("ID3\x03", 4),
                                   std::string("\xFF"), std::string("\xFF\xFB\x90", 3), MpegFrames(1),
                                   wma.substr(0, 9), std::string(".R")})
    EXPECT_EQ(Labelled(start), SongBytes::kUnknown) << start.size();
  // Without a text label the old rule stands: only markup is refused.
  EXPECT_EQ(JudgeBody("no such file", 12, false), SongBytes::kSong);
  EXPECT_EQ(JudgeBody("no such file", 12, true), SongBytes::kMarkup);
}

}  // namespace
