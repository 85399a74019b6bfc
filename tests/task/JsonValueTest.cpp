// The JSON reader used on music servers' replies: what it keeps, and what
// it refuses before it could be misled or run out of stack.
#include <gtest/gtest.h>

#include "task/JsonValue.h"
#include "task/Md5.h"

namespace {

TEST(JsonValueTest, ReadsTheShapeOfAServerReply) {
  CJsonValue v;
  ASSERT_TRUE(CJsonValue::Parse(
      " {\"r\": {\"status\":\"ok\", \"n\": -12.5e+3, \"b\": true, \"z\": null,"
      " \"list\": [ {\"id\": 7}, {\"id\": \"a\"} ], \"empty\": [], \"o\": {}}}\n",
      v));
  const CJsonValue* r = v.Find("r");
  ASSERT_TRUE(r && r->IsObject());
  EXPECT_EQ(r->Find("status")->Text(), "ok");
  EXPECT_EQ(r->Find("n")->Text(), "-12.5e+3");  // numbers keep their text
  EXPECT_EQ(r->Find("b")->Text(), "");
  EXPECT_EQ(r->Find("z")->GetKind(), CJsonValue::Kind::kNull);
  EXPECT_EQ(r->Find("missing"), nullptr);
  EXPECT_EQ(r->Find("status")->Find("x"), nullptr);  // not an object
  const auto items = r->Find("list")->Items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]->Find("id")->Text(), "7");
  EXPECT_EQ(items[1]->Find("id")->Text(), "a");
  EXPECT_TRUE(r->Find("empty")->Items().empty());
  // A lone item where a list belongs counts as a list of one; null as none.
  EXPECT_EQ(r->Find("o")->Items().size(), 1u);
  EXPECT_TRUE(r->Find("z")->Items().empty());
}

TEST(JsonValueTest, EscapesBecomeUtf8AndBrokenSurrogatesAReplacement) {
  CJsonValue v;
  ASSERT_TRUE(CJsonValue::Parse(
      R"(["\u6708\u4eae", "a\"\\\/\n\t", "\ud83c\udfb5", "\ud83c!", "\udfb5", "月"])", v));
  const auto s = v.Items();
  ASSERT_EQ(s.size(), 6u);
  EXPECT_EQ(s[0]->Text(), "月亮");
  EXPECT_EQ(s[1]->Text(), "a\"\\/\n\t");
  EXPECT_EQ(s[2]->Text(), "\xF0\x9F\x8E\xB5");
  EXPECT_EQ(s[3]->Text(), "\xEF\xBF\xBD!");
  EXPECT_EQ(s[4]->Text(), "\xEF\xBF\xBD");
  EXPECT_EQ(s[5]->Text(), "月");  // raw UTF-8 passes through
}

TEST(JsonValueTest, RefusesWhatIsNotExactlyOneValue) {
  const char* bad[] = {"",          "{",          "{\"a\":1,}",  "[1 2]",      "{\"a\" 1}",
                       "{a:1}",     "\"open",     "\"tab\there\"", "[1]x",     "01x",
                       "-",         "1.",         "1e",          "tru",        "[\"\\x\"]",
                       "\"\\u12\"", "{\"a\":}",   "<html>",      "[1,]",       "nul"};
  for (const char* text : bad) {
    CJsonValue v;
    EXPECT_FALSE(CJsonValue::Parse(text, v)) << text;
  }
  CJsonValue v;
  EXPECT_TRUE(CJsonValue::Parse("0", v));
  EXPECT_TRUE(CJsonValue::Parse("\"\"", v));
}

TEST(JsonValueTest, DeepNestingIsRefusedNotFollowed) {
  CJsonValue v;
  const int ok = CJsonValue::kMaxDepth;
  EXPECT_TRUE(CJsonValue::Parse(std::string(ok, '[') + std::string(ok, ']'), v));
  // Far deeper than any reply, as a hostile server might send.
  EXPECT_FALSE(CJsonValue::Parse(std::string(200000, '['), v));
  EXPECT_FALSE(CJsonValue::Parse(std::string(ok + 2, '[') + std::string(ok + 2, ']'), v));
}

TEST(JsonValueTest, AHundredThousandValuesAtMost) {
  // The array itself is a value too.
  auto list = [](size_t n) {
    std::string t = "[0";
    for (size_t i = 1; i < n; ++i) t += ",0";
    return t + "]";
  };
  CJsonValue v;
  CJsonValue::Error why = CJsonValue::Error::kSyntax;
  EXPECT_TRUE(CJsonValue::Parse(list(CJsonValue::kMaxValues - 1), v, &why));
  EXPECT_EQ(why, CJsonValue::Error::kNone);
  EXPECT_EQ(v.Items().size(), CJsonValue::kMaxValues - 1);
  EXPECT_FALSE(CJsonValue::Parse(list(CJsonValue::kMaxValues), v, &why));
  EXPECT_EQ(why, CJsonValue::Error::kTooMany);
  // Members count as values wherever they sit.
  std::string members = "{";
  for (size_t i = 0; i < CJsonValue::kMaxValues; ++i) members += (i ? ",\"k\":{}" : "\"k\":{}");
  EXPECT_FALSE(CJsonValue::Parse(members + "}", v, &why));
  EXPECT_EQ(why, CJsonValue::Error::kTooMany);
  EXPECT_FALSE(CJsonValue::Parse("[1,", v, &why));
  EXPECT_EQ(why, CJsonValue::Error::kSyntax);
}

TEST(JsonValueTest, TakingAMemberLeavesANull) {
  CJsonValue v;
  ASSERT_TRUE(CJsonValue::Parse("{\"r\":{\"a\":[1,2]},\"s\":\"x\"}", v));
  const CJsonValue r = v.TakeMember("r");
  EXPECT_EQ(r.Find("a")->Items().size(), 2u);
  ASSERT_NE(v.Find("r"), nullptr);
  EXPECT_EQ(v.Find("r")->GetKind(), CJsonValue::Kind::kNull);
  EXPECT_EQ(v.TakeMember("none").GetKind(), CJsonValue::Kind::kNull);
  EXPECT_EQ(v.Find("s")->Text(), "x");
}

TEST(Md5Test, KnownDigestsAcrossThePaddingBoundaries) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  // 62 and 80 bytes: the length spills into an extra block.
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890"
                   "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  // The example token of the API's own description: password "sesame", salt "c19b2d".
  EXPECT_EQ(Md5Hex("sesamec19b2d"), "26719a1196d2a940705a59634eb18eab");
}

}  // namespace
