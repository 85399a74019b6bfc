// The search engine: which links a result page offers for which key.
#include <gmock/gmock.h>

#include "server/UrlCodec.h"
#include "tests/server/ServerHarness.h"

using namespace harness;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

class SearchTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    AddSong("月亮代表我的心.mp3", 3000);
    AddSong("月光下的凤尾竹.mp3", 2000);
    AddSong("Blue Moon.mp3", 1000);
    AddSong("茉莉花.wma", 1000);
    AddSong("茉莉花.mp3", 1000);
    WriteFile(m_root + "/mirrors.ini", "[slow]\nLatencyMs=300\n[fast]\n[hidden]\nListed=0\n");
    StartServer();
  }

  std::string Host() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  // The links every matching song gets, in page order.
  std::vector<std::string> LinksFor(const std::string& encodedPath) const {
    return {Host() + "/mirror/slow/" + encodedPath, Host() + "/mirror/fast/" + encodedPath,
            Host() + "/songs/" + encodedPath, "../../songs/" + encodedPath};
  }
};

TEST_F(SearchTest, GbkNameListsEveryLinkOfTheMatchingSongOnly) {
  Reply r = Search("mp3.cgi", "月亮");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("content-type"), "text/html; charset=gbk");
  EXPECT_THAT(r.body, HasSubstr(Gbk("月亮代表我的心")));
  EXPECT_EQ(DownloadLinks(r.body, ".MP3"), LinksFor(PercentEncodePath("月亮代表我的心.mp3")));
}

TEST_F(SearchTest, KeyMatchesAnywhereInTheNameAndSongsComeInPathOrder) {
  Reply r = Search("mp3.cgi", "月");
  // Byte order of the UTF-8 names: 亮 (E4 BA AE) before 光 (E5 85 89).
  std::vector<std::string> expected = LinksFor(PercentEncodePath("月亮代表我的心.mp3"));
  std::vector<std::string> second = LinksFor(PercentEncodePath("月光下的凤尾竹.mp3"));
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(DownloadLinks(r.body, ".MP3"), expected);
}

TEST_F(SearchTest, AsciiKeyWithABlankIgnoresLetterCase) {
  Reply r = Get(m_port, "/cgi-bin/music/mp3.cgi?_searchkey=blue%20MOON");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(DownloadLinks(r.body, ".MP3"), LinksFor("Blue%20Moon.mp3"));
}

TEST_F(SearchTest, KeyMatchingNoSongGivesAPageWithoutSongLinks) {
  Reply r = Search("mp3.cgi", "不存在的歌");
  ASSERT_EQ(r.status, 200);
  EXPECT_THAT(DownloadLinks(r.body, ".MP3"), IsEmpty());
  EXPECT_THAT(r.body, HasSubstr(Gbk("不存在的歌")));
  // A GBK key that only matches across two characters' bytes finds nothing:
  // the tail byte of 月 followed by the lead byte of 亮 is not a name.
  std::string gbk = Gbk("月亮");
  Reply straddle = Get(m_port, "/cgi-bin/music/mp3.cgi?_searchkey=" + ClientEscape(gbk.substr(1, 2)));
  EXPECT_THAT(DownloadLinks(straddle.body, ".MP3"), IsEmpty());
}

TEST_F(SearchTest, GbkKeyThatIsAlsoValidUtf8IsReadAsGbk) {
  // 小路 in GBK is D0 A1 C2 B7, which UTF-8 reads as two other letters.
  AddSong("山间小路.mp3", 10);
  EXPECT_EQ(DownloadLinks(Search("mp3.cgi", "小路").body, ".MP3"), LinksFor(PercentEncodePath("山间小路.mp3")));
  // A browser's UTF-8 key still works where it is no GBK text.
  Reply utf8 = Get(m_port, "/cgi-bin/music/mp3.cgi?_searchkey=" + PercentEncodePath("茉莉花"));
  EXPECT_EQ(DownloadLinks(utf8.body, ".MP3"), LinksFor(PercentEncodePath("茉莉花.mp3")));
}

TEST_F(SearchTest, EmptyOrMissingKeyListsNothing) {
  for (std::string target : {"/cgi-bin/music/mp3.cgi?_searchkey=", "/cgi-bin/music/mp3.cgi",
                             "/cgi-bin/music/mp3.cgi?_searchkey=%20%20", "/cgi-bin/music/mp3.cgi?x_searchkey=Blue"}) {
    Reply r = Get(m_port, target);
    ASSERT_EQ(r.status, 200) << target;
    EXPECT_THAT(DownloadLinks(r.body, ".MP3"), IsEmpty()) << target;
  }
}

TEST_F(SearchTest, EachCgiListsOnlyItsOwnFileType) {
  Reply wma = Search("wma.cgi", "茉莉花");
  EXPECT_EQ(DownloadLinks(wma.body, ".WMA"), LinksFor(PercentEncodePath("茉莉花.wma")));
  EXPECT_THAT(DownloadLinks(wma.body, ".MP3"), IsEmpty());
  Reply rm = Search("rm.cgi", "茉莉花");
  EXPECT_THAT(DownloadLinks(rm.body, ".RM"), IsEmpty());
  EXPECT_EQ(Search("ogg.cgi", "茉莉花").status, 404);
}

TEST_F(SearchTest, PageHoldsOrdinaryLinksThatAreNoDownloads) {
  Reply r = Search("mp3.cgi", "茉莉花");
  // Single quotes, no quotes and a query after the extension: all there,
  // none of them a download link.
  std::string path = PercentEncodePath("茉莉花.mp3");
  EXPECT_THAT(r.body, HasSubstr("href='/songs/" + path + "'"));
  EXPECT_THAT(r.body, HasSubstr("href=/songs/" + path + ">"));
  EXPECT_THAT(r.body, HasSubstr("\"/songs/" + path + "?play=1\""));
  EXPECT_THAT(r.body, HasSubstr("href=\"/\""));
  EXPECT_EQ(DownloadLinks(r.body, ".MP3").size(), 4u);
}

TEST_F(SearchTest, UnreadableKeyAndMarkupInTheKeyAreHarmless) {
  Reply bad = Get(m_port, "/cgi-bin/music/mp3.cgi?_searchkey=%FF%FF%81");
  ASSERT_EQ(bad.status, 200);
  EXPECT_THAT(DownloadLinks(bad.body, ".MP3"), IsEmpty());
  Reply markup = Get(m_port, "/cgi-bin/music/mp3.cgi?_searchkey=%3Ca%20href=%22x.mp3%22%3E");
  ASSERT_EQ(markup.status, 200);
  EXPECT_THAT(markup.body, Not(HasSubstr("<a href=\"x.mp3\">")));
  EXPECT_THAT(DownloadLinks(markup.body, ".MP3"), IsEmpty());
}

TEST_F(SearchTest, KeyRunsToTheEndOfTheQuery) {
  AddSong("A&B.mp3", 100);
  Reply r = Get(m_port, "/cgi-bin/music/mp3.cgi?_searchkey=A&B");
  EXPECT_EQ(DownloadLinks(r.body, ".MP3"), LinksFor("A%26B.mp3"));
}

TEST_F(SearchTest, QuestionMarkInsideTheKeyIsAcceptedRawOrEscaped) {
  AddSong("Why?.mp3", 100);
  for (const char* target : {"/cgi-bin/music/mp3.cgi?_searchkey=Why?", "/cgi-bin/music/mp3.cgi?_searchkey=Why%3F"}) {
    Reply r = Get(m_port, target);
    ASSERT_EQ(r.status, 200) << target;
    EXPECT_EQ(DownloadLinks(r.body, ".MP3"), LinksFor("Why%3F.mp3")) << target;
  }
  // Several, and on a connection that goes on with another request.
  const std::string raw = SendRaw(m_port,
                                  "GET /cgi-bin/music/mp3.cgi?_searchkey=W?h?y HTTP/1.1\r\nHost: x\r\n\r\n"
                                  "GET /cgi-bin/music/mp3.cgi?_searchkey=Why? HTTP/1.1\r\nHost: x\r\n"
                                  "Connection: close\r\n\r\n");
  EXPECT_EQ(raw.find("400 Bad Request"), std::string::npos);
  EXPECT_THAT(raw, HasSubstr("/songs/Why%3F.mp3"));
}

TEST_F(SearchTest, SongsAddedWhileRunningAreFound) {
  EXPECT_THAT(DownloadLinks(Search("mp3.cgi", "新歌").body, ".MP3"), IsEmpty());
  AddSong("新歌.mp3", 10);
  EXPECT_EQ(DownloadLinks(Search("mp3.cgi", "新歌").body, ".MP3").size(), 4u);
}

TEST_F(SearchTest, SongPageNamesTheSongFromGbkOrPlusEscapes) {
  Reply gbk = Get(m_port, "/song?word=" + ClientEscape(Gbk("月亮代表我的心")));
  ASSERT_EQ(gbk.status, 200);
  EXPECT_THAT(gbk.body, HasSubstr(Gbk("月亮代表我的心")));
  Reply plus = Get(m_port, "/song?word=Blue+Moon");
  EXPECT_THAT(plus.body, HasSubstr("<h2>Blue Moon</h2>"));
  Reply home = Get(m_port, "/");
  EXPECT_EQ(home.status, 200);
  EXPECT_THAT(home.body, HasSubstr(Gbk("茉莉花")));
}

}  // namespace
