// Percent coding, query values and INI reading the routes rely on.
#include <gtest/gtest.h>

#include "server/IniFile.h"
#include "server/MirrorProfile.h"
#include "server/SongLibrary.h"
#include "server/UrlCodec.h"

namespace {

TEST(PercentDecode, DecodesEveryEscapeAndLeavesStrayPercents) {
  EXPECT_EQ(PercentDecode("%D4%c2a%20b", false), "\xD4\xC2" "a b");
  EXPECT_EQ(PercentDecode("a+b", false), "a+b");
  EXPECT_EQ(PercentDecode("a+b", true), "a b");
  EXPECT_EQ(PercentDecode("100%", false), "100%");
  EXPECT_EQ(PercentDecode("%4", false), "%4");
  EXPECT_EQ(PercentDecode("%zz%41", false), "%zzA");
  EXPECT_EQ(PercentDecode("%2e%2E", false), "..");
}

TEST(PercentEncode, PathKeepsSlashesQueryEscapesWhatEndsAValue) {
  EXPECT_EQ(PercentEncodePath("a b/c\"d.mp3"), "a%20b/c%22d.mp3");
  EXPECT_EQ(PercentEncodePath("\xE6\x9C\x88"), "%E6%9C%88");
  EXPECT_EQ(PercentEncodeQuery("A&B+C D\xB8"), "A%26B%2BC%20D%B8");
  EXPECT_EQ(PercentDecode(PercentEncodeQuery("x%y"), false), "x%y");
}

TEST(RawQueryValue, FindsTheNamedValueOnly) {
  bool found = false;
  EXPECT_EQ(RawQueryValue("/song?x=1&word=A+B&y=2", "word", &found), "A+B");
  EXPECT_TRUE(found);
  EXPECT_EQ(RawQueryValue("/song?keyword=1", "word", &found), "");
  EXPECT_FALSE(found);
  EXPECT_EQ(RawQueryValue("/song", "word", &found), "");
  EXPECT_EQ(RawQueryValue("/song?word", "word", &found), "");
  EXPECT_TRUE(found);
}

TEST(HtmlEscape, EscapesEverythingThatEndsAnAttribute) {
  EXPECT_EQ(HtmlEscape("<a href=\"x\">'&'"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;");
}

TEST(IniFile, SectionsAndKeysIgnoreCaseAndTheFirstEntryWins) {
  CIniFile ini;
  ini.Parse("; comment\r\n[Slow]\r\nLatencyMs = 300\r\nlatencyms=5\r\n[fast]\n[SLOW]\nRateKBps=7\nbroken line\n");
  EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"Slow", "fast"}));
  EXPECT_EQ(ini.GetNumber("slow", "LATENCYMS", -1), 300);
  EXPECT_EQ(ini.GetNumber("slow", "RateKBps", -1), 7);
  EXPECT_EQ(ini.Get("fast", "x", "dflt"), "dflt");
  EXPECT_EQ(ini.GetNumber("nosuch", "x", 42), 42);
}

TEST(MirrorProfiles, MissingFileGivesSlowBeforeFastAndARedirectAndADrop) {
  auto defaults = LoadMirrorProfiles("/nonexistent/mirrors.ini");
  ASSERT_GE(defaults.size(), 4u);
  EXPECT_EQ(defaults[0].name, "slow");
  EXPECT_GT(defaults[0].latencyMs, 100);
  EXPECT_EQ(defaults[1].name, "fast");
  EXPECT_EQ(defaults[1].latencyMs, 0);
  ASSERT_NE(FindMirrorProfile(defaults, "hop"), nullptr);
  EXPECT_EQ(FindMirrorProfile(defaults, "hop")->redirectTo, "songs");
  ASSERT_NE(FindMirrorProfile(defaults, "flaky"), nullptr);
  EXPECT_GT(FindMirrorProfile(defaults, "flaky")->dropAfterBytes, 0);
  EXPECT_EQ(FindMirrorProfile(defaults, "nosuch"), nullptr);
}

TEST(NameContains, AsciiIgnoresCaseOtherBytesCompareExactly) {
  EXPECT_TRUE(NameContains("Blue Moon", "e m"));
  EXPECT_TRUE(NameContains("Blue Moon", "BLUE MOON"));
  EXPECT_FALSE(NameContains("Blue", "Blue Moon"));
  EXPECT_TRUE(NameContains("月亮代表我的心", "代表"));
  EXPECT_FALSE(NameContains("月亮", "月光"));
}

}  // namespace
