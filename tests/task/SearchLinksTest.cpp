// Search address, result page links, target path and stored entry fields.
#include <gtest/gtest.h>

#include "engine/BuiltinHost.h"
#include "res/Texts.h"
#include "task/DownloadTask.h"
#include "tests/support/TempHome.h"
#include "tests/task/TaskTestHost.h"

namespace {

using vtest::TaskTestHost;

const std::string kBuiltin = std::string("http://") + kBuiltinHost;

class SearchLinksTest : public ::testing::Test {
 protected:
  CDownloadTask& Task(const std::string& name) {
    m_host.AddEntry(name);
    return m_host.CreateTask(name);
  }
  std::vector<std::string> Links(const CDownloadTask& t) {
    return std::vector<std::string>(t.m_strCandidates, t.m_strCandidates + t.m_nCandidates);
  }
  vtest::TempHome m_home;
  TaskTestHost m_host;
};

// ---- search address ----

TEST_F(SearchLinksTest, AsciiNameIsSentAsTypedBlankIncluded) {
  CDownloadTask& t = Task("moon river");
  TaskSettings s;
  EXPECT_EQ(t.BuildSearchURL(s), kBuiltin + "/cgi-bin/music/mp3.cgi?_searchkey=moon river");
  s.m_strFileType = ".WMA";
  EXPECT_EQ(t.BuildSearchURL(s), kBuiltin + "/cgi-bin/music/wma.cgi?_searchkey=moon river");
  s.m_strFileType = ".RM";
  EXPECT_EQ(t.BuildSearchURL(s), kBuiltin + "/cgi-bin/music/rm.cgi?_searchkey=moon river");
}

TEST_F(SearchLinksTest, GbkBytesBecomeUpperCaseEscapes) {
  CDownloadTask& t = Task(T("歌a"));  // 歌 is B8 E8 in GBK
  TaskSettings s;
  EXPECT_EQ(t.BuildSearchURL(s), kBuiltin + "/cgi-bin/music/mp3.cgi?_searchkey=%B8%E8a");
}

TEST_F(SearchLinksTest, HeadAndTailOverrideTheBuiltinEngine) {
  CDownloadTask& t = Task(T("歌"));
  TaskSettings s;
  s.m_strSearchHead = "http://other/find?q=";
  s.m_strSearchTail = "&type=mp3";
  EXPECT_EQ(t.BuildSearchURL(s), "http://other/find?q=%B8%E8&type=mp3");
}

TEST_F(SearchLinksTest, UnknownTypeLeavesTheNameAloneAndTypeMatchIsExact) {
  CDownloadTask& t = Task("song");
  TaskSettings s;
  s.m_strFileType = ".mp3";  // case matters here
  EXPECT_EQ(t.BuildSearchURL(s), "song");
  CDownloadTask& empty = Task("");
  EXPECT_EQ(empty.BuildSearchURL(s), "");
  // An empty address is the song name error, without any fetch.
  m_host.SetSettings(s);
  EXPECT_FALSE(empty.SearchSong());
  EXPECT_EQ(m_host.Column("", 7), std::vector<std::string>{T(txt::kBadSongName)});
}

// ---- result page links ----

TEST_F(SearchLinksTest, HrefVariantsOnlyDoubleQuotedLinksEndingInTheTypeCount) {
  CDownloadTask& t = Task("x");
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
  EXPECT_EQ(t.ParseLinks(page, ".MP3", ""), 2);
  EXPECT_EQ(Links(t), (std::vector<std::string>{"x.mp3", "http://h/Y.Mp3"}));
}

TEST_F(SearchLinksTest, EmptyTypeMeansMp3AndTypeIgnoresCase) {
  CDownloadTask& t = Task("x");
  EXPECT_EQ(t.ParseLinks("<a href=\"http://h/a.MP3\"></a><a href=\"http://h/b.wma\"></a>", "", ""), 1);
  EXPECT_EQ(t.ParseLinks("<a href=\"http://h/a.MP3\"></a><a href=\"http://h/b.wma\"></a>", ".wma", ""),
            1);
  EXPECT_EQ(t.m_strCandidates[0], "http://h/b.wma");
}

TEST_F(SearchLinksTest, AtMostThirtyLinksAreKept) {
  CDownloadTask& t = Task("x");
  std::string page;
  for (int i = 0; i < 40; ++i) page += "<a href=\"http://h/" + std::to_string(i) + ".mp3\">s</a>\n";
  EXPECT_EQ(t.ParseLinks(page, ".MP3", ""), 30);
  EXPECT_EQ(t.m_strCandidates[29], "http://h/29.mp3");
}

TEST_F(SearchLinksTest, RelativeLinksAreResolvedAgainstTheSearchAddress) {
  CDownloadTask& t = Task("x");
  const std::string base = "http://127.0.0.1:9/cgi-bin/music/mp3.cgi?_searchkey=a b";
  const std::string page =
      "<a href=\"/songs/a.mp3\"></a>"
      "<a href=\"b.mp3\"></a>"
      "<a href=\"../c.mp3\"></a>"
      "<a href=\"//mirror:81/d.mp3\"></a>"
      "<a href=\"http://abs/E.mp3\"></a>"
      "<a href=\"http://127.0.0.1:9/songs/a.mp3\"></a>";  // the same as the first once resolved
  EXPECT_EQ(t.ParseLinks(page, ".MP3", base), 5);
  EXPECT_EQ(Links(t), (std::vector<std::string>{
                          "http://127.0.0.1:9/songs/a.mp3", "http://127.0.0.1:9/cgi-bin/music/b.mp3",
                          "http://127.0.0.1:9/cgi-bin/c.mp3", "http://mirror:81/d.mp3",
                          "http://abs/E.mp3"}));
}

TEST_F(SearchLinksTest, GbkPageKeepsTheLinkInItsOwnBytes) {
  CDownloadTask& t = Task("x");
  // GBK letters in the link and text around it; the link comes back byte for byte.
  const std::string link = "http://h/" + T("月亮代表我的心") + ".Mp3";
  const std::string page = T("<html>搜索结果: <a HREF=\"") + link + T("\">月亮</a></html>");
  EXPECT_EQ(t.ParseLinks(page, ".MP3", "http://h/s"), 1);
  EXPECT_EQ(t.m_strCandidates[0], link);
}

TEST_F(SearchLinksTest, UnclosedQuoteEndsTheScan) {
  CDownloadTask& t = Task("x");
  EXPECT_EQ(t.ParseLinks("<a href=\"http://h/a.mp3\"></a><a href=\"http://h/b.mp3", ".MP3", ""), 1);
  EXPECT_EQ(t.ParseLinks("HREF", ".MP3", ""), 0);
  EXPECT_EQ(t.ParseLinks("href=", ".MP3", ""), 0);
  EXPECT_EQ(t.ParseLinks("", ".MP3", ""), 0);
}

// ---- target path ----

TEST_F(SearchLinksTest, TargetIsInTheDownloadFolderWithTheLinksExtension) {
  CDownloadTask& t = Task(T("月亮"));
  t.m_strURL = "http://h.example.com/dir/Song.Mp3";
  EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + "/月亮.Mp3");
  t.m_strURL = "http://h/a.mp3?id=1&x=/y.z";
  EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + "/月亮.mp3");
}

TEST_F(SearchLinksTest, NoExtensionInTheLastSegmentGivesNoTarget) {
  CDownloadTask& t = Task("s");
  t.m_strURL = "http://h.example.com";
  EXPECT_EQ(t.MakeTargetPath(), "");
  t.m_strURL = "http://h.example.com/dir.v2/file";
  EXPECT_EQ(t.MakeTargetPath(), "");
  t.m_strURL = "nodot";
  EXPECT_EQ(t.MakeTargetPath(), "");
}

TEST_F(SearchLinksTest, SongNameCannotLeaveTheDownloadFolder) {
  CDownloadTask& up = Task("../../etc/x");
  up.m_strURL = "http://h/a.mp3";
  EXPECT_EQ(up.MakeTargetPath(), m_home.downloads() + "/.._.._etc_x.mp3");
  EXPECT_EQ(up.m_strName, "../../etc/x");  // the key stays as it was
  for (const char* bad : {".", ".."}) {
    CDownloadTask& t = Task(bad);
    t.m_strURL = "http://h/a.mp3";
    EXPECT_EQ(t.MakeTargetPath(), "") << bad;
  }
  // The link's own path cannot slip a folder in either.
  CDownloadTask& t = Task("n");
  t.m_strURL = "http://h/x/..%2F..%2Fy.mp3/../z.mp3";
  EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + "/n.mp3");
}

// ---- entry fields ----

TEST_F(SearchLinksTest, StoredElapsedIsMinutesAndSeconds) {
  struct Case {
    const char* text;
    int seconds;
  } cases[] = {{"12m:5s", 725}, {"0m:0s", 0}, {"", 0}, {"75m:59s", 4559},
               {"3m", 180},     {"x", 0},     {"2m:", 120}};
  for (const Case& c : cases) {
    m_host.AddEntry("e", "", c.text);
    CDownloadTask t(m_host, "e");
    EXPECT_EQ(t.GetStoredElapsed(), c.seconds) << c.text;
  }
  CDownloadTask orphan(m_host, "no entry");
  EXPECT_EQ(orphan.GetStoredElapsed(), 0);
}

TEST_F(SearchLinksTest, StoredAddressNeedsTheHttpPrefix) {
  m_host.AddEntry("a", "HTTP://h/a.mp3");
  m_host.AddEntry("b", T("正在访问搜索引擎..."));
  m_host.AddEntry("c", "https://h/a.mp3");
  EXPECT_EQ(CDownloadTask(m_host, "a").GetStoredAddress(), "HTTP://h/a.mp3");
  EXPECT_EQ(CDownloadTask(m_host, "b").GetStoredAddress(), "");
  EXPECT_EQ(CDownloadTask(m_host, "c").GetStoredAddress(), "");
  EXPECT_EQ(CDownloadTask(m_host, "none").GetStoredAddress(), "");
}

TEST_F(SearchLinksTest, StatusReachesTheEntryOnlyUntilAnAddressIsStored) {
  CDownloadTask& t = Task("s");
  t.SetStatus(T(txt::kVisitingEngine));
  TaskEntry e;
  ASSERT_TRUE(m_host.Entry("s", e));
  EXPECT_EQ(std::string(e.m_szAddress), T(txt::kVisitingEngine));

  t.StoreAddress("http://h/a.mp3");
  EXPECT_EQ(m_host.SavedAddresses("s").back(), "http://h/a.mp3");
  t.SetStatus(T(txt::kTestingLink));
  ASSERT_TRUE(m_host.Entry("s", e));
  EXPECT_EQ(std::string(e.m_szAddress), "http://h/a.mp3");
  EXPECT_EQ(m_host.Column("s", 7),
            (std::vector<std::string>{T(txt::kVisitingEngine), T(txt::kTestingLink)}));

  // Hidden list: the entry still learns, the list does not.
  m_host.SetListShown(false);
  t.StoreAddress("");
  t.SetStatus("later");
  ASSERT_TRUE(m_host.Entry("s", e));
  EXPECT_EQ(std::string(e.m_szAddress), "later");
  EXPECT_EQ(m_host.Column("s", 7).size(), 2u);
}

TEST_F(SearchLinksTest, LongTextsAreCutToTheFieldOnACharacterBoundary) {
  CDownloadTask& t = Task("s");
  std::string longText;
  for (int i = 0; i < 100; ++i) longText += T("歌");
  t.SetStatus("x" + longText);  // 201 bytes; the odd start puts a cut mid-character
  TaskEntry e;
  ASSERT_TRUE(m_host.Entry("s", e));
  EXPECT_EQ(std::string(e.m_szAddress), "x" + longText.substr(0, 148));
}

}  // namespace
