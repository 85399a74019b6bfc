#include "engine/TextRules.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <string>

// Two white-space rules live side by side: header values allow only spaces
// and tabs, typed text and INI lines any ASCII white space.
TEST(TextRules, TheTwoWhiteSpaceRulesDifferOnlyWhereMeant) {
  for (char c : {' ', '\t'}) {
    EXPECT_TRUE(IsWhiteSpace(c));
    EXPECT_TRUE(IsSpaceOrTab(c));
  }
  for (char c : {'\r', '\n', '\v', '\f'}) {
    EXPECT_TRUE(IsWhiteSpace(c)) << int(c);
    EXPECT_FALSE(IsSpaceOrTab(c)) << int(c);
  }
  // NUL, NBSP in Latin-1 and a GBK lead byte are text, never padding.
  for (char c : {'\0', '\xA0', '\x85', 'a'}) {
    EXPECT_FALSE(IsWhiteSpace(c)) << int(c);
    EXPECT_FALSE(IsSpaceOrTab(c)) << int(c);
  }
  EXPECT_EQ(TrimWhiteSpace("\r\n\t a b \v\f"), "a b");
  EXPECT_EQ(TrimSpacesAndTabs("\t 12 \r"), "12 \r");
  EXPECT_EQ(TrimSpacesAndTabs(" \t \t"), "");
  EXPECT_EQ(TrimWhiteSpace(""), "");
  EXPECT_EQ(TrimChars("\r x\r", " \t\r"), "x");
  // A NUL inside is kept: the trim stops at the first byte it may not take.
  EXPECT_EQ(TrimWhiteSpace(std::string(" a\0b ", 5)), std::string("a\0b", 3));
}

// GBK bytes must come through case changes untouched even when the process
// runs under a locale whose tolower would move them.
TEST(TextRules, CaseRulesTouchOnlyAsciiLetters) {
  const std::string gbk = "\xC4\xE3\xBA\xC3";  // two GBK characters
  const char* old = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = old ? old : "C";
  std::setlocale(LC_CTYPE, "C.UTF-8");
  EXPECT_EQ(AsciiLower("AbZ@[`{" + gbk + ".MP3"), "abz@[`{" + gbk + ".mp3");
  EXPECT_EQ(AsciiUpper("azA" + gbk + ".mp3"), "AZA" + gbk + ".MP3");
  std::setlocale(LC_CTYPE, saved.c_str());

  EXPECT_TRUE(SameTextIgnoringCase("Content-LENGTH", "content-length"));
  EXPECT_FALSE(SameTextIgnoringCase("abc", "abcd"));
  EXPECT_FALSE(SameTextIgnoringCase("@", "`"));  // one apart, like 'A'/'a', yet no letters
  EXPECT_TRUE(StartsWithIgnoringCase("HTTP://host/", "http://"));
  EXPECT_FALSE(StartsWithIgnoringCase("http:/", "http://"));
  EXPECT_TRUE(EndsWith("song.mp3.part", ".part"));
  EXPECT_FALSE(EndsWith("song.PART", ".part"));  // file names keep their case
  EXPECT_FALSE(EndsWith("art", ".part"));
  EXPECT_TRUE(EndsWith("x", ""));
}

// Header lengths read only digits and must never wrap to a small or
// negative number: a huge Content-Length stays huge.
TEST(TextRules, LeadingDigitsReadsAHeaderValue) {
  EXPECT_EQ(LeadingDigits("1234, 99"), 1234);
  EXPECT_EQ(LeadingDigits(""), 0);
  EXPECT_EQ(LeadingDigits(" 12"), 0);
  EXPECT_EQ(LeadingDigits("-5"), 0);
  EXPECT_EQ(LeadingDigits("922337203685477580"), 922337203685477580LL);
  EXPECT_EQ(LeadingDigits("9223372036854775807"), LLONG_MAX);
  EXPECT_EQ(LeadingDigits("99999999999999999999999"), LLONG_MAX);
}

// The text-to-int rule of stored figures: blanks and a sign first, and a
// magnitude that stops at INT_MAX instead of overflowing.
TEST(TextRules, LeadingIntFollowsTheLibraryRule) {
  EXPECT_EQ(LeadingInt(" \t\n42m"), 42);
  EXPECT_EQ(LeadingInt("+7"), 7);
  EXPECT_EQ(LeadingInt("-7s"), -7);
  EXPECT_EQ(LeadingInt("- 7"), 0);
  EXPECT_EQ(LeadingInt("m:5s"), 0);
  EXPECT_EQ(LeadingInt(""), 0);
  EXPECT_EQ(LeadingInt("99999999999999999999"), INT_MAX);
  EXPECT_EQ(LeadingInt("-99999999999999999999"), -INT_MAX);
}

// Each caller picks what to escape; the writing is the same for all: every
// picked byte as %XX in upper-case hex, high bytes and NUL included.
TEST(TextRules, PercentEscapeWritesPickedBytesOnly) {
  auto unreserved = [](unsigned char c) { return !IsUnreservedUrlByte(c); };
  EXPECT_EQ(PercentEscape("aZ09-._~", unreserved), "aZ09-._~");
  EXPECT_EQ(PercentEscape("a b/c?", unreserved), "a%20b%2Fc%3F");
  EXPECT_EQ(PercentEscape("\xC4\xE3", unreserved), "%C4%E3");
  EXPECT_EQ(PercentEscape(std::string_view("x\0y", 3), unreserved), "x%00y");
  EXPECT_EQ(PercentEscape("", unreserved), "");
  EXPECT_EQ(PercentEscape("\x7F\xFF", [](unsigned char c) { return c == 0xFF; }), "\x7F%FF");
}
