// Target path and stored entry fields of a task.
#include <gtest/gtest.h>

#include "res/Texts.h"
#include "task/DownloadTask.h"
#include "task/ResultPageSearch.h"
#include "tests/support/TempHome.h"
#include "tests/task/TaskTestHost.h"

namespace {

using vtest::TaskTestHost;

class SearchLinksTest : public ::testing::Test {
 protected:
  CDownloadTask& Task(const std::string& name) {
    m_host.AddEntry(name);
    return m_host.CreateTask(name);
  }
  vtest::TempHome m_home;
  TaskTestHost m_host;
};

// ---- search through the task ----

TEST_F(SearchLinksTest, AnEmptyNameIsTheNameErrorWithoutAnyFetch) {
  CDownloadTask& empty = Task("");
  TaskSettings s;
  s.m_strFileType = ".mp3";  // no built-in address for it: the empty name stays empty
  m_host.SetSettings(s);
  EXPECT_FALSE(empty.SearchSong());
  EXPECT_EQ(m_host.Column("", 7), std::vector<std::string>{T(txt::kBadSongName)});
}

// ---- target path ----

TEST_F(SearchLinksTest, TargetTakesTheTypeInTheLinksSpellingFromLinksTheSearchReturns) {
  CDownloadTask& t = Task(T("月亮"));
  const std::string page =
      "<a href=\"/dl.php?f=a.mp3\">1</a> <a href=\"/down.asp?id=1&n=b.MP3\">2</a>"
      "<a href=\"http://h.example.com/dir/Song.Mp3\">3</a>";
  const std::vector<std::string> links = CResultPageSearch::ParseLinks(page, ".MP3", "http://h/s?k=x");
  ASSERT_EQ(links.size(), 3u);
  const std::vector<std::string> want = {"/月亮.mp3", "/月亮.MP3", "/月亮.Mp3"};
  for (int i = 0; i < 3; ++i) {
    t.m_strURL = links[i];
    EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + want[i]) << t.m_strURL;
  }
}

TEST_F(SearchLinksTest, LinkNotEndingInTheTypeGivesTheTypeAsConfigured) {
  CDownloadTask& t = Task("s");
  // Links given on the console or by a streaming server, and odd ones.
  for (const char* link : {"http://h.example.com", "http://h/dir.v2/file", "nodot", "http://h/a.mp3?id=1&x=/y.z",
                           "http://h/a.php", "http://h/rest/download.view?id=7", ""}) {
    t.m_strURL = link;
    EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + "/s.MP3") << link;
  }
  TaskSettings wma = m_host.Settings();
  wma.m_strFileType = ".WMA";
  m_host.SetSettings(wma);
  t.m_strURL = "http://h/get?f=x.wma";
  EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + "/s.wma");
  t.m_strURL = "http://h/x.mp3";
  EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + "/s.WMA");
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
  // The link's own path and query cannot slip a folder in either.
  CDownloadTask& t = Task("n");
  for (const char* link : {"http://h/x/..%2F..%2Fy.mp3/../z.mp3", "http://h/dl?f=../../a.mp3",
                           "http://h/dl?f=/etc/../a.mp3"}) {
    t.m_strURL = link;
    EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + "/n.mp3") << link;
  }
  // Nor a hand-edited file type.
  TaskSettings odd = m_host.Settings();
  odd.m_strFileType = "/../../x";
  m_host.SetSettings(odd);
  t.m_strURL = "http://h/a";
  EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + "/n_.._.._x");
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

TEST_F(SearchLinksTest, StoredAddressNeedsAnHttpOrHttpsPrefix) {
  m_host.AddEntry("a", "HTTP://h/a.mp3");
  m_host.AddEntry("b", T("正在访问搜索引擎..."));
  m_host.AddEntry("c", "https://h/a.mp3");
  m_host.AddEntry("d", "ftp://h/a.mp3");
  EXPECT_EQ(CDownloadTask(m_host, "a").GetStoredAddress(), "HTTP://h/a.mp3");
  EXPECT_EQ(CDownloadTask(m_host, "b").GetStoredAddress(), "");
  EXPECT_EQ(CDownloadTask(m_host, "c").GetStoredAddress(), "https://h/a.mp3");
  EXPECT_EQ(CDownloadTask(m_host, "d").GetStoredAddress(), "");
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
