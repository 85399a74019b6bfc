// Knowing the song: the probe's bitrate and length from real files made by
// lame, the quality-first pick, and a finished file that is not a whole MP3
// refused after the merge while the task goes on to the next link.
#include <gtest/gtest.h>

#include <mutex>

#include "engine/http/HttpSocket.h"
#include "res/Texts.h"
#include "task/CandidateList.h"
#include "task/DownloadTask.h"
#include "task/QualityPick.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/SongMaker.h"
#include "tests/support/TempHome.h"
#include "tests/task/TaskTestHost.h"

namespace {

using vtest::Route;

TEST(QualityPickTest, HighestBitrateAmongTheQuickOnes) {
  constexpr int kNever = 100000;
  struct Case {
    std::vector<int> times, kbps;
    int expect;
  };
  const Case cases[] = {
      {{100, 150}, {128, 320}, 1},             // slower but within 4x: the better one
      {{100, 400}, {128, 320}, 1},             // exactly 4x still counts
      {{100, 401}, {128, 320}, 0},             // beyond 4x: left out
      {{100, 90, 300}, {320, 320, 256}, 1},    // a tie goes to the faster
      {{50, 60}, {-1, 32}, 1},                 // any known rate beats an unknown one
      {{50, 60}, {-1, -1}, 0},                 // none known: the fastest
      {{-1, 200, kNever}, {320, 128, 320}, 1}, // unusable times never count
      {{-1, -1}, {320, 320}, -1},
      {{0, 3, 5}, {128, 192, 320}, 1},         // 0 ms is below the clock's grain
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QualityPick::Choose(c.times.data(), c.kbps.data(), static_cast<int>(c.times.size()), kNever), c.expect)
        << ::testing::PrintToString(c.times) << ::testing::PrintToString(c.kbps);
  }
}

// Records what the task reports of its candidates, as the application does.
class AudioHost : public vtest::TaskTestHost {
 public:
  void OnCandidatesFound(const std::string&, const std::vector<std::string>& links) override {
    std::lock_guard<std::mutex> g(m_listLock);
    m_list.Reset(links);
  }
  void OnCandidateProbed(const std::string&, const std::string& link, const ProbeFigures& probe,
                         CandidateVerdict verdict) override {
    std::lock_guard<std::mutex> g(m_listLock);
    m_list.SetProbed(link, probe, verdict);
  }
  void OnCandidateChosen(const std::string&, const std::string& link, ChosenReason why) override {
    std::lock_guard<std::mutex> g(m_listLock);
    m_list.SetChosen(link, why);
  }
  void OnCandidateFailed(const std::string&, const std::string& link, const std::string& text) override {
    std::lock_guard<std::mutex> g(m_listLock);
    m_list.SetFailed(link, text);
  }
  CCandidateList List() {
    std::lock_guard<std::mutex> g(m_listLock);
    return m_list;
  }

 private:
  std::mutex m_listLock;
  CCandidateList m_list;
};

class QualityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!vtest::SongMaker::ToolsPresent()) GTEST_SKIP() << "sox and lame are needed (tools/deps)";
    m_con = ConTimeOut.load();
    m_get = GetTimeOut.load();
    ConTimeOut = 2;
    GetTimeOut = 3;
    Settings(false, true);
  }
  void TearDown() override {
    ConTimeOut = m_con;
    GetTimeOut = m_get;
  }
  void Settings(bool preferQuality, bool checkSpeed) {
    TaskSettings s;
    s.m_strSearchHead = m_srv.url("/search?k=");
    s.m_nMinSize = 1000;
    s.m_nMaxSize = 20000000;
    s.m_nBlocks = 2;
    s.m_bCheckSpeed = checkSpeed;
    s.m_bPreferQuality = preferQuality;
    m_host.SetSettings(s);
  }
  std::string Song(const std::string& name, const std::vector<std::string>& options, double seconds = 4) {
    const std::string path = m_songs.Make(name, options, seconds);
    EXPECT_FALSE(path.empty()) << name;
    return vtest::ReadFile(path);
  }
  void Serve(const std::string& path, const std::string& body, int delayMs = 0) {
    Route r = Route::File(body);
    r.faults.headerDelayMs = delayMs;
    m_srv.route(path, r);
  }
  // Searches and picks for a task of this name; the chosen candidate's address.
  std::string Choose(const std::vector<std::string>& paths) {
    std::string page = "<html><body>\n";
    for (const auto& p : paths) page += "<a href=\"" + p + "\">x</a>\n";
    Route r = Route::File(page + "</body></html>");
    r.prefix = true;
    m_srv.route("/search", r);
    m_host.AddEntry("q");
    CDownloadTask& t = m_host.CreateTask("q");
    const int k = t.SearchAndChoose();
    return k < 0 ? std::string() : t.Candidates().Link(k);
  }
  Candidate Of(const std::string& path) {
    for (const Candidate& c : m_host.List().Ranked())
      if (c.m_strAddress == m_srv.url(path)) return c;
    ADD_FAILURE() << "no candidate " << path;
    return {};
  }

  vtest::TempHome m_home;
  vtest::SongMaker m_songs{m_home.root()};
  vtest::ScriptedServer m_srv;
  AudioHost m_host;
  int m_con = 0, m_get = 0;
};

TEST_F(QualityTest, ProbeTellsBitrateAndLength) {
  Serve("/cbr.mp3", Song("cbr", {"-b", "320"}, 5));
  Serve("/vbr.mp3", Song("vbr", {"-V", "4"}, 6));
  Serve("/low.mp3", Song("low", {"-b", "24", "--resample", "16"}, 5));
  // A cover picture in front of the audio: its tag is larger than the probe reads.
  Serve("/cover.mp3", vtest::Id3v2PictureTag(300 * 1024) + Song("cover", {"-b", "128"}, 3));
  Serve("/page.mp3", std::string(5000, 'x'));
  Settings(true, true);  // every link probed
  ASSERT_FALSE(Choose({"/cbr.mp3", "/vbr.mp3", "/low.mp3", "/cover.mp3", "/page.mp3"}).empty());

  const AudioFacts cbr = Of("/cbr.mp3").Audio();
  EXPECT_EQ(BitrateText(cbr), "320kbps");
  EXPECT_EQ(LengthText(cbr), "0:05");
  const AudioFacts vbr = Of("/vbr.mp3").Audio();
  EXPECT_TRUE(vbr.m_bVbr);
  EXPECT_EQ(BitrateText(vbr).rfind("VBR ", 0), 0u) << BitrateText(vbr);
  EXPECT_NEAR(vbr.m_nSeconds, 6, 1);
  EXPECT_EQ(BitrateText(Of("/low.mp3").Audio()), "24kbps");
  EXPECT_NEAR(Of("/low.mp3").Audio().m_nSeconds, 5, 1);
  const AudioFacts cover = Of("/cover.mp3").Audio();
  EXPECT_EQ(cover.m_nKbps, 128);
  EXPECT_NEAR(cover.m_nSeconds, 3, 1);
  bool ranged = false;
  for (const auto& r : m_srv.requestsFor("/cover.mp3")) ranged = ranged || r.range == "bytes=" + std::to_string(300 * 1024) + "-" + std::to_string(300 * 1024 + 32 * 1024 - 1);
  EXPECT_TRUE(ranged) << "one ranged read past the tag";
  EXPECT_FALSE(Of("/page.mp3").Audio().KnownRate());
}

TEST_F(QualityTest, QualityFirstTakesTheBetterLinkUnlessFarSlower) {
  const std::string low = Song("128", {"-b", "128"}), high = Song("320", {"-b", "320"});
  // Both slow enough that loopback's own jitter cannot turn the ratio.
  Serve("/fast128.mp3", low, 150);
  Serve("/slow320.mp3", high, 250);
  Settings(true, true);
  EXPECT_EQ(Choose({"/fast128.mp3", "/slow320.mp3"}), m_srv.url("/slow320.mp3"));
  EXPECT_EQ(m_host.List().Reason(), ChosenReason::kBestQuality);
  EXPECT_EQ(ChosenReasonText(m_host.List().Reason(), Of("/slow320.mp3").Audio()), T("音质最好(320kbps)"));
}

TEST_F(QualityTest, QualityFirstLeavesOutALinkFourTimesSlower) {
  Serve("/fast128.mp3", Song("128", {"-b", "128"}), 20);
  Serve("/crawl320.mp3", Song("320", {"-b", "320"}), 1500);
  Settings(true, true);
  EXPECT_EQ(Choose({"/crawl320.mp3", "/fast128.mp3"}), m_srv.url("/fast128.mp3"));
}

TEST_F(QualityTest, DefaultKeepsTheFastestFirstRule) {
  Serve("/fast128.mp3", Song("128", {"-b", "128"}), 150);
  Serve("/slow320.mp3", Song("320", {"-b", "320"}), 250);
  Settings(false, false);  // speed check off: the first usable link
  EXPECT_EQ(Choose({"/fast128.mp3", "/slow320.mp3"}), m_srv.url("/fast128.mp3"));
  EXPECT_TRUE(m_srv.requestsFor("/slow320.mp3").empty()) << "probing stops at the first";
}

TEST_F(QualityTest, BrokenFilesAreRefusedAfterTheMergeAndTheTaskGoesOn) {
  const std::string vbr = Song("vbr", {"-V", "2", "--add-id3v2", "--tt", "t"}, 8);
  const std::string good = Song("good", {"-b", "128"}, 6);
  Serve("/cut.mp3", vbr.substr(0, vbr.size() / 2));
  Serve("/text.mp3", std::string(60000, 'a'));
  Serve("/good.mp3", good);
  std::string page = "<html><body>\n";
  for (const char* p : {"/cut.mp3", "/text.mp3", "/good.mp3"}) page += "<a href=\"" + std::string(p) + "\">x</a>\n";
  Route r = Route::File(page + "</body></html>");
  r.prefix = true;
  m_srv.route("/search", r);

  m_host.AddEntry("song");
  m_host.CreateTask("song");
  m_host.ActivateAsync("song");
  ASSERT_TRUE(vtest::TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 60000));
  EXPECT_EQ(vtest::ReadFile(m_home.downloads() + "/song.mp3"), good);
  const std::string refused = T("线程-1: 下载的文件不是完整的MP3歌曲.");
  int seen = 0;
  for (const auto& t : m_host.Column("song", 7)) seen += t == refused;
  EXPECT_EQ(seen, 2);
  for (const char* p : {"/cut.mp3", "/text.mp3"}) {
    const Candidate c = Of(p);
    EXPECT_EQ(c.m_eVerdict, CandidateVerdict::kDownloadFailed) << p;
    EXPECT_EQ(c.m_strFailure, T("下载的文件不是完整的MP3歌曲.")) << p;
  }
}

}  // namespace
