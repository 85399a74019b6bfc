#include "engine/Gbk.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "res/texts/EngineTexts.h"

namespace {

const std::string kZhong = "\xD6\xD0";  // 中
const std::string kWen = "\xCE\xC4";    // 文

TEST(GbkConversion, RoundTripsChineseAndAscii) {
  EXPECT_EQ(Utf8ToGbk("中文"), kZhong + kWen);
  EXPECT_EQ(GbkToUtf8(kZhong + kWen), "中文");
  EXPECT_EQ(Utf8ToGbk("a.mp3"), "a.mp3");
  EXPECT_EQ(Utf8ToGbk(""), "");
  EXPECT_EQ(GbkToUtf8(""), "");
  std::string text = "记录文件%s 创建失败\n请检查磁盘空间是否已满。";
  EXPECT_EQ(GbkToUtf8(Utf8ToGbk(text)), text);
  EXPECT_EQ(Utf8ToGbk(txt::kRecordFileCreateFailed), Utf8ToGbk(text));
  // Long input crosses the converter's internal buffer.
  std::string longText;
  for (int i = 0; i < 2000; ++i) longText += "歌";
  EXPECT_EQ(GbkToUtf8(Utf8ToGbk(longText)), longText);
  EXPECT_EQ(Utf8ToGbk(longText).size(), 4000u);
}

TEST(GbkConversion, StrictFormsRejectBadInput) {
  std::string out;
  EXPECT_TRUE(GbkToUtf8(kZhong, out));
  EXPECT_EQ(out, "中");
  EXPECT_FALSE(GbkToUtf8("\xD6", out)) << "half a character";
  EXPECT_FALSE(GbkToUtf8("a\xFF" "b", out));
  EXPECT_TRUE(Utf8ToGbk("中", out));
  EXPECT_EQ(out, kZhong);
  EXPECT_FALSE(Utf8ToGbk("\xC3", out)) << "cut UTF-8 sequence";
  EXPECT_FALSE(Utf8ToGbk("\xF0\x9F\x98\x80", out)) << "no GBK form";
}

TEST(GbkConversion, LenientFormsReplaceBadBytesWithQuestionMark) {
  EXPECT_EQ(GbkToUtf8("a\xFF" "b"), "a?b");
  EXPECT_EQ(GbkToUtf8("ab\xD6"), "ab?");
  EXPECT_EQ(Utf8ToGbk("x\xF0\x9F\x98\x80y"), "x?y") << "one mark per character";
  EXPECT_EQ(Utf8ToGbk("\xC3z"), "?z");
  EXPECT_EQ(Utf8ToGbk("中\xFF文"), kZhong + "?" + kWen);
}

TEST(CutGbk, NeverSplitsATwoByteCharacter) {
  std::string s = "a" + kZhong + "b";
  EXPECT_EQ(CutGbk(s, 0), "");
  EXPECT_EQ(CutGbk(s, 1), "a");
  EXPECT_EQ(CutGbk(s, 2), "a") << "cut would fall inside 中";
  EXPECT_EQ(CutGbk(s, 3), "a" + kZhong);
  EXPECT_EQ(CutGbk(s, 4), s);
  EXPECT_EQ(CutGbk(s, 100), s);
  EXPECT_EQ(CutGbk("ab\xD6", 10), "ab") << "a trailing lead byte is half a character";
  // Trail bytes in the ASCII range are still part of their character.
  std::string withAsciiTrail = "\x81\x40" "x";
  EXPECT_EQ(CutGbk(withAsciiTrail, 1), "");
  EXPECT_EQ(CutGbk(withAsciiTrail, 2), "\x81\x40");
}

TEST(CutGbk, FieldWidthsOnOddOffsets) {
  std::string name = "x";
  for (int i = 0; i < 30; ++i) name += kWen;  // 61 bytes
  std::string cut = CutGbk(name, 50);
  EXPECT_EQ(cut.size(), 49u);
  EXPECT_EQ(cut, name.substr(0, 49));
  std::string even;
  for (int i = 0; i < 30; ++i) even += kWen;
  EXPECT_EQ(CutGbk(even, 50).size(), 50u);
}

// Block threads and the UI convert at the same time; a shared converter
// state would garble or crash here (and show under the thread sanitizer).
TEST(GbkConversion, ConcurrentConversionsStayIndependent) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      std::string text = "歌曲" + std::to_string(t) + "下载器";
      for (int i = 0; i < 300; ++i) {
        std::string gbk = Utf8ToGbk(text);
        if (GbkToUtf8(gbk) != text || gbk.size() != 11) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
