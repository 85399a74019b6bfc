// Search address and result page links of the classic engine.
#include <gtest/gtest.h>

#include "engine/BuiltinHost.h"
#include "res/Texts.h"
#include "task/ResultPageSearch.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

const std::string kBuiltin = std::string("http://") + kBuiltinHost;

class ResultPageSearchTest : public ::testing::Test {
 protected:
  static std::string Url(const std::string& name, const TaskSettings& s) {
    return CResultPageSearch::BuildSearchURL(name, s);
  }
  int Count(const std::string& page, const std::string& type, const std::string& base) {
    m_links = CResultPageSearch::ParseLinks(page, type, base);
    return static_cast<int>(m_links.size());
  }
  std::vector<std::string> m_links;
};

// ---- search address ----

TEST_F(ResultPageSearchTest, AsciiNameIsSentAsTypedBlankIncluded) {
  const std::string name = "moon river";
  TaskSettings s;
  EXPECT_EQ(Url(name, s), kBuiltin + "/cgi-bin/music/mp3.cgi?_searchkey=moon river");
  s.m_strFileType = ".WMA";
  EXPECT_EQ(Url(name, s), kBuiltin + "/cgi-bin/music/wma.cgi?_searchkey=moon river");
  s.m_strFileType = ".RM";
  EXPECT_EQ(Url(name, s), kBuiltin + "/cgi-bin/music/rm.cgi?_searchkey=moon river");
}

TEST_F(ResultPageSearchTest, GbkBytesBecomeUpperCaseEscapes) {
  const std::string name = T("歌a");  // 歌 is B8 E8 in GBK
  TaskSettings s;
  EXPECT_EQ(Url(name, s), kBuiltin + "/cgi-bin/music/mp3.cgi?_searchkey=%B8%E8a");
}

TEST_F(ResultPageSearchTest, QueryMarksInTheNameAreEscapedOtherAsciiIsNot) {
  TaskSettings s;
  s.m_strSearchHead = "http://e/s?k=";
  EXPECT_EQ(Url("C#&+%?=;x/!'()*,:@[]~", s), "http://e/s?k=C%23%26%2B%25%3F%3D%3Bx/!'()*,:@[]~");
}

TEST_F(ResultPageSearchTest, HeadAndTailOverrideTheBuiltinEngine) {
  const std::string name = T("歌");
  TaskSettings s;
  s.m_strSearchHead = "http://other/find?q=";
  s.m_strSearchTail = "&type=mp3";
  EXPECT_EQ(Url(name, s), "http://other/find?q=%B8%E8&type=mp3");
}

TEST_F(ResultPageSearchTest, UnknownTypeLeavesTheNameAloneAndTypeMatchIsExact) {
  const std::string name = "song";
  TaskSettings s;
  s.m_strFileType = ".mp3";  // case matters here
  EXPECT_EQ(Url(name, s), "song");
  EXPECT_EQ(Url("", s), "");
}

// ---- result page links ----

TEST_F(ResultPageSearchTest, HrefVariantsOnlyDoubleQuotedLinksEndingInTheTypeCount) {
  const std::string page =
      "<a href = \"x.mp3\">lower, blanks</a>"
      "<A HREF=\"  http://h/Y.Mp3  \">blanks inside quotes</A>"
      "<a href='single.mp3'>single</a>"
      "<a href=unquoted.mp3>bare</a>"
      "<a href=\"q.mp3?id=1\">query</a>"
      "<a href=\"x.mp3\">again</a>"
      "<a href=\"other.wma\">type</a>"
      "<a href=\"noext\">none</a>"
      "<a hrefx=\"bad.mp3\">attr</a>";
  EXPECT_EQ(Count(page, ".MP3", ""), 2);
  EXPECT_EQ(m_links, (std::vector<std::string>{"x.mp3", "http://h/Y.Mp3"}));
}

TEST_F(ResultPageSearchTest, EmptyTypeMeansMp3AndTypeIgnoresCase) {
  EXPECT_EQ(Count("<a href=\"http://h/a.MP3\"></a><a href=\"http://h/b.wma\"></a>", "", ""), 1);
  EXPECT_EQ(Count("<a href=\"http://h/a.MP3\"></a><a href=\"http://h/b.wma\"></a>", ".wma", ""),
            1);
  EXPECT_EQ(m_links[0], "http://h/b.wma");
}

TEST_F(ResultPageSearchTest, AtMostThirtyLinksAreKept) {
  std::string page;
  for (int i = 0; i < 40; ++i) page += "<a href=\"http://h/" + std::to_string(i) + ".mp3\">s</a>\n";
  EXPECT_EQ(Count(page, ".MP3", ""), 30);
  EXPECT_EQ(m_links[29], "http://h/29.mp3");
}

TEST_F(ResultPageSearchTest, RelativeLinksAreResolvedAgainstTheSearchAddress) {
  const std::string base = "http://127.0.0.1:9/cgi-bin/music/mp3.cgi?_searchkey=a b";
  const std::string page =
      "<a href=\"/songs/a.mp3\"></a>"
      "<a href=\"b.mp3\"></a>"
      "<a href=\"../c.mp3\"></a>"
      "<a href=\"//mirror:81/d.mp3\"></a>"
      "<a href=\"http://abs/E.mp3\"></a>"
      "<a href=\"http://127.0.0.1:9/songs/a.mp3\"></a>";  // the same as the first once resolved
  EXPECT_EQ(Count(page, ".MP3", base), 5);
  EXPECT_EQ(m_links, (std::vector<std::string>{
                          "http://127.0.0.1:9/songs/a.mp3", "http://127.0.0.1:9/cgi-bin/music/b.mp3",
                          "http://127.0.0.1:9/cgi-bin/c.mp3", "http://mirror:81/d.mp3",
                          "http://abs/E.mp3"}));
}

TEST_F(ResultPageSearchTest, GbkPageKeepsTheLinkInItsOwnBytes) {
  // GBK letters in the link and text around it; the link comes back byte for byte.
  const std::string link = "http://h/" + T("月亮代表我的心") + ".Mp3";
  const std::string page = T("<html>搜索结果: <a HREF=\"") + link + T("\">月亮</a></html>");
  EXPECT_EQ(Count(page, ".MP3", "http://h/s"), 1);
  EXPECT_EQ(m_links[0], link);
}

TEST_F(ResultPageSearchTest, UnclosedQuoteEndsTheScan) {
  EXPECT_EQ(Count("<a href=\"http://h/a.mp3\"></a><a href=\"http://h/b.mp3", ".MP3", ""), 1);
  EXPECT_EQ(Count("HREF", ".MP3", ""), 0);
  EXPECT_EQ(Count("href=", ".MP3", ""), 0);
  EXPECT_EQ(Count("", ".MP3", ""), 0);
}

// ---- the hook before the engine is asked ----

TEST_F(ResultPageSearchTest, BeforeFetchSeesTheAddressFirstAndMayCancel) {
  vtest::TempHome th;
  vtest::ScriptedServer srv;
  srv.route("/find?q=abc", vtest::Route::File("<a href=\"/abc.mp3\">abc</a>"));
  TaskSettings s;
  s.m_strSearchHead = srv.url("/find?q=");
  std::vector<std::string> seen;
  size_t requestsBefore = 99;
  bool cancel = false;
  SearchHooks hooks;
  hooks.beforeFetch = [&](const std::string& url) {
    seen.push_back(url);
    requestsBefore = srv.requests().size();
    return url;
  };
  hooks.cancelled = [&] { return cancel; };
  CResultPageSearch search(s);
  SearchResult r = search.Search("abc", hooks);
  EXPECT_EQ(r.m_outcome, SearchOutcome::kFound);
  ASSERT_EQ(seen, std::vector<std::string>{srv.url("/find?q=abc")});
  EXPECT_EQ(requestsBefore, 0u);

  // Cancelled while the hook waited (the bundled server starting): the
  // engine is not asked at all.
  hooks.beforeFetch = [&](const std::string& url) {
    cancel = true;
    return url;
  };
  r = search.Search("abc", hooks);
  EXPECT_EQ(r.m_outcome, SearchOutcome::kUnreachable);
  EXPECT_EQ(srv.requests().size(), 1u);

  // The hook names where the engine really is (the bundled server on a
  // port of its own), or that it is not to be asked.
  cancel = false;
  hooks.beforeFetch = [&](const std::string&) { return srv.url("/moved?q=abc"); };
  search.Search("abc", hooks);
  ASSERT_EQ(srv.requests().size(), 2u);
  EXPECT_EQ(srv.requests().back().target, "/moved?q=abc");
  hooks.beforeFetch = [&](const std::string&) { return std::string(); };
  r = search.Search("abc", hooks);
  EXPECT_EQ(r.m_outcome, SearchOutcome::kFailed);
  EXPECT_EQ(r.m_strMessage, T(txt::kBuiltinPortNotOurs));
  EXPECT_EQ(srv.requests().size(), 2u);
}

}  // namespace
