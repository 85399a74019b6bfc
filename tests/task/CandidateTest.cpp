// The candidate list: ranking, verdict texts and addresses, and the verdicts
// a task gives real links of the scripted server.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/Gbk.h"
#include "engine/http/HttpSocket.h"
#include "engine/record/TaskEntry.h"
#include "res/Texts.h"
#include "task/CandidateList.h"
#include "task/DownloadTask.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"
#include "tests/task/TaskTestHost.h"

namespace {

using vtest::Route;

ProbeFigures Probed(int timeMs, int length) {
  ProbeFigures p;
  p.m_nTimeMs = timeMs;
  p.m_nLength = length;
  return p;
}

std::vector<std::string> Addresses(const std::vector<Candidate>& ranked) {
  std::vector<std::string> out;
  for (const Candidate& c : ranked) out.push_back(c.m_strAddress);
  return out;
}

TEST(CandidateListTest, RanksChosenThenUsableByTimeThenUnprobedThenRefusedInOrderFound) {
  CCandidateList list;
  list.Reset({"http://h/a.mp3", "http://h/b.mp3", "http://h/c.mp3", "http://h/d.mp3",
              "http://h/e.mp3", "http://h/f.mp3", "http://h/g.mp3"});
  list.SetProbed("http://h/a.mp3", Probed(-1, -1), CandidateVerdict::kProbeFailed);
  list.SetProbed("http://h/b.mp3", Probed(300, 5000), CandidateVerdict::kUsable);
  list.SetProbed("http://h/c.mp3", Probed(20, 50), CandidateVerdict::kOutOfLimits);
  list.SetProbed("http://h/d.mp3", Probed(200, 5000), CandidateVerdict::kUsable);
  list.SetProbed("http://h/e.mp3", Probed(200, 5000), CandidateVerdict::kUsable);
  list.SetProbed("http://h/f.mp3", Probed(250, 5000), CandidateVerdict::kUsable);
  list.SetChosen("http://h/f.mp3", ChosenReason::kNoSpeedCheck);

  EXPECT_EQ(Addresses(list.Ranked()),
            (std::vector<std::string>{"http://h/f.mp3", "http://h/d.mp3", "http://h/e.mp3", "http://h/b.mp3",
                                      "http://h/g.mp3", "http://h/a.mp3", "http://h/c.mp3"}));
  EXPECT_EQ(list.Ranked()[0].m_eVerdict, CandidateVerdict::kChosen);
  EXPECT_EQ(list.Reason(), ChosenReason::kNoSpeedCheck);
  EXPECT_TRUE(list.HasUsable());
}

TEST(CandidateListTest, ChoosingAnotherDemotesTheOldOneAndKeepsFailures) {
  CCandidateList list;
  list.Reset({"http://h/a.mp3", "http://h/b.mp3", "http://h/c.mp3"});
  list.SetProbed("http://h/a.mp3", Probed(40, 5000), CandidateVerdict::kUsable);
  list.SetChosen("http://h/a.mp3", ChosenReason::kFastEnough);
  list.SetFailed("http://h/a.mp3", T("连接服务器失败"));
  EXPECT_EQ(list.Reason(), ChosenReason::kNone);
  EXPECT_FALSE(list.HasUsable());

  // A link picked by the user without a probe, then another one.
  list.SetChosen("http://h/c.mp3", ChosenReason::kGivenLink);
  list.SetChosen("http://h/x.mp3", ChosenReason::kStoredAddress);
  const std::vector<Candidate> ranked = list.Ranked();
  ASSERT_EQ(ranked.size(), 4u);
  EXPECT_EQ(ranked[0].m_strAddress, "http://h/x.mp3");  // not found by the search: joins the list
  EXPECT_EQ(ranked[0].m_nFound, 3);
  EXPECT_EQ(ranked[1].m_strAddress, "http://h/b.mp3");
  EXPECT_EQ(ranked[2].m_strAddress, "http://h/c.mp3");
  EXPECT_EQ(ranked[2].m_eVerdict, CandidateVerdict::kNotProbed);  // never judged usable
  EXPECT_EQ(VerdictText(ranked[3]), T("下载失败: 连接服务器失败"));
  EXPECT_EQ(ChosenReasonText(list.Reason()), T("已保存的地址"));

  list.Reset({"http://h/z.mp3"});
  EXPECT_EQ(list.Reason(), ChosenReason::kNone);
  EXPECT_EQ(Addresses(list.Ranked()), std::vector<std::string>{"http://h/z.mp3"});
}

TEST(CandidateListTest, CredentialsNeverReachTheList) {
  CCandidateList list;
  list.Reset({"http://user:se@cret@h:8080/a.mp3?id=1", "http://h/b@c.mp3"});
  list.SetProbed("http://user:se@cret@h:8080/a.mp3?id=1", Probed(10, 10), CandidateVerdict::kUsable);
  const std::vector<Candidate> ranked = list.Ranked();
  ASSERT_EQ(ranked.size(), 2u);
  EXPECT_EQ(ranked[0].m_strAddress, "http://h:8080/a.mp3?id=1");
  EXPECT_EQ(ranked[0].m_strHost, "h:8080");
  EXPECT_TRUE(ranked[0].m_bProbed);
  EXPECT_EQ(ranked[1].m_strAddress, "http://h/b@c.mp3");  // an "@" in the path is no user part
  EXPECT_EQ(ranked[1].m_strHost, "h");
  EXPECT_EQ(AddressHost("no-scheme.mp3"), "");
}

// Links on one host differ by their paths: shown decoded, as the server
// encoded the name (UTF-8 or GBK), and never with a user part.
TEST(CandidateTest, PathsAreShownDecoded) {
  EXPECT_EQ(AddressPathForShow("http://h/songs/%E6%AD%8C.mp3"), Utf8ToGbk("/songs/歌.mp3"));
  EXPECT_EQ(AddressPathForShow("http://h/songs/%B8%E8.mp3"), Utf8ToGbk("/songs/歌.mp3"));
  EXPECT_EQ(AddressPathForShow("http://u:p@h:80/a%20b.mp3?id=1&x=%2F"), "/a b.mp3?id=1&x=/");
  // Neither UTF-8 nor GBK, or a broken escape: as it stands.
  EXPECT_EQ(AddressPathForShow("http://h/%FF%FF.mp3"), "/%FF%FF.mp3");
  EXPECT_EQ(AddressPathForShow("http://h/100%.mp3"), "/100%.mp3");
  EXPECT_EQ(AddressPathForShow("http://h/a%4"), "/a%4");
  EXPECT_EQ(AddressPathForShow("http://h"), "");
  CCandidateList list;
  list.Reset({"http://h/one.mp3", "http://h/two.mp3"});
  EXPECT_EQ(list.Ranked()[1].m_strPath, "/two.mp3");
}

TEST(CandidateVerdictTest, JudgeAndReasons) {
  ProbeFigures p = Probed(-1, 2000);
  EXPECT_EQ(JudgeProbe(p, 1000, 3000), CandidateVerdict::kProbeFailed);
  p.m_eProbeVerdict = ProbeVerdict::kNotASong;
  EXPECT_EQ(JudgeProbe(p, 1000, 3000), CandidateVerdict::kNotASong);
  p.m_eProbeVerdict = ProbeVerdict::kBusy;
  EXPECT_EQ(JudgeProbe(p, 1000, 3000), CandidateVerdict::kHostBusy);
  Candidate busy;
  busy.m_eVerdict = CandidateVerdict::kHostBusy;
  EXPECT_EQ(VerdictText(busy), T(txt::kVerdictHostBusy));
  EXPECT_EQ(JudgeProbe(Probed(5, -1), 0, 3000), CandidateVerdict::kUnknownLength);
  EXPECT_EQ(JudgeProbe(Probed(5, 999), 1000, 3000), CandidateVerdict::kOutOfLimits);
  EXPECT_EQ(JudgeProbe(Probed(5, 1000), 1000, 3000), CandidateVerdict::kUsable);
  EXPECT_EQ(JudgeProbe(Probed(5, 3000), 1000, 3000), CandidateVerdict::kUsable);
  EXPECT_EQ(JudgeProbe(Probed(5, 3001), 1000, 3000), CandidateVerdict::kOutOfLimits);

  EXPECT_EQ(ReasonForPick(100, true, 100), ChosenReason::kFastEnough);
  EXPECT_EQ(ReasonForPick(101, true, 100), ChosenReason::kFastest);
  EXPECT_EQ(ReasonForPick(5, false, 100), ChosenReason::kNoSpeedCheck);
  EXPECT_EQ(ChosenReasonText(ChosenReason::kFastEnough), T("在100ms内响应"));
  EXPECT_EQ(ChosenReasonText(ChosenReason::kGivenLink), T("指定的链接"));
}

// The engine's texts that say why a connection failed are told from its
// fixed step texts, and a failed probe shows its cause.
TEST(CandidateVerdictTest, ConnectionCausesAreRecognisedAndShown) {
  for (const char* cause : {"无法解析主机名: songs.test", "无法连接到服务器: 127.0.0.1:1(Connection refused)",
                            "连接服务器超时: [::1]:8443", "服务器证书无效: certificate has expired",
                            "代理服务器拒绝了请求: HTTP/1.1 407 Proxy Authentication Required"})
    EXPECT_TRUE(IsFailureCause(T(cause))) << cause;
  for (const char* step : {"获取下载文件的相关信息时出错.", "gethostbyname()函数执行失败!", "线程0: 无法解析主机名: x", ""})
    EXPECT_FALSE(IsFailureCause(T(step))) << step;

  Candidate c;
  c.m_eVerdict = CandidateVerdict::kProbeFailed;
  EXPECT_EQ(VerdictText(c), T("探测失败"));
  c.m_probe.m_strCause = T("服务器证书无效: Hostname mismatch");
  EXPECT_EQ(VerdictText(c), T("探测失败: 服务器证书无效: Hostname mismatch"));
  c.m_eVerdict = CandidateVerdict::kDownloadFailed;
  c.m_strFailure = T("无法解析主机名: songs.test");
  EXPECT_EQ(VerdictText(c), T("下载失败: 无法解析主机名: songs.test"));
}

// A cause is as long as the host or the server's words make it. Cut into
// a record's status field it ends on a whole character, also where a
// character's second byte looks like ASCII ("丂" is 0x81 0x40, "乊" 0x81 0x5C).
TEST(CandidateVerdictTest, ACauseCutIntoARecordFieldKeepsWholeCharacters) {
  const std::string tricky = T("丂乊服务器");
  for (size_t extra = 0; extra < 90; ++extra) {
    std::string host(extra, 'h');
    for (int i = 0; i < 20; ++i) host += tricky;
    const std::string cause = T("无法解析主机名: ") + host;
    ASSERT_TRUE(IsFailureCause(cause));
    TaskEntry e{};
    SetEntryText(e.m_szAddress, cause);
    const std::string kept(e.m_szAddress, strnlen(e.m_szAddress, sizeof e.m_szAddress));
    std::string utf8;
    ASSERT_TRUE(GbkToUtf8(kept, utf8)) << extra;
    EXPECT_EQ(cause.compare(0, kept.size(), kept), 0);
    // Only what did not fit went: at most the one character across the edge.
    EXPECT_GE(kept.size(), sizeof e.m_szAddress - 2) << extra;
  }
}

// A host that keeps the task's candidate reports in a list, as the
// application does.
class RecordingHost : public vtest::TaskTestHost {
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
  CCandidateList List() {
    std::lock_guard<std::mutex> g(m_listLock);
    return m_list;
  }

 private:
  std::mutex m_listLock;
  CCandidateList m_list;
};

class CandidateProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_con = ConTimeOut.load();
    m_get = GetTimeOut.load();
    ConTimeOut = 2;
    GetTimeOut = 5;
  }
  void TearDown() override {
    ConTimeOut = m_con;
    GetTimeOut = m_get;
  }
  void Search(const std::vector<std::string>& paths, bool checkSpeed) {
    TaskSettings s;
    s.m_strSearchHead = m_srv.url("/search?k=");
    s.m_nMinSize = 1000;
    s.m_nMaxSize = 100000;
    s.m_bCheckSpeed = checkSpeed;
    m_host.SetSettings(s);
    std::string page = "<html><body>\n";
    for (const auto& p : paths) page += "<a href=\"" + p + "\">x</a>\n";
    Route r = Route::File(page + "</body></html>");
    r.prefix = true;
    r.contentType = "text/html";
    m_srv.route("/search", r);
  }
  const Candidate& Find(const std::vector<Candidate>& ranked, const std::string& path) {
    for (const Candidate& c : ranked)
      if (c.m_strAddress == m_srv.url(path)) return c;
    ADD_FAILURE() << "no candidate " << path;
    static Candidate none;
    return none;
  }

  vtest::TempHome m_home;
  vtest::ScriptedServer m_srv;
  RecordingHost m_host;
  int m_con = 0, m_get = 0;
};

TEST_F(CandidateProbeTest, EachKindOfLinkGetsItsVerdictAndTheFastestIsChosen) {
  int deadPort;
  {
    vtest::ScriptedServer gone;
    deadPort = gone.port();
  }
  Route slow = Route::File(std::string(5000, 's'));
  slow.faults.headerDelayMs = 1200;
  slow.extraHeaders = "Accept-Ranges: bytes\r\n";
  Route fast = Route::File(std::string(6000, 'f'));
  fast.contentType = "audio/mpeg";
  Route page = Route::File(std::string(4000, '<'));
  page.contentType = "text/html; charset=gbk";
  Route noLength = Route::File(std::string(5000, 'n'));
  noLength.faults.noContentLength = true;
  m_srv.route("/slow.mp3", slow);
  m_srv.route("/fast.mp3", fast);
  m_srv.route("/page.mp3", page);
  m_srv.route("/big.mp3", Route::File(std::string(100001, 'b')));
  m_srv.route("/nolen.mp3", noLength);
  const std::string dead = "http://127.0.0.1:" + std::to_string(deadPort) + "/dead.mp3";
  Search({dead, "/slow.mp3", "/page.mp3", "/big.mp3", "/nolen.mp3", "/missing.mp3", "/fast.mp3"}, true);

  m_host.AddEntry("v");
  CDownloadTask& t = m_host.CreateTask("v");
  const int k = t.SearchAndChoose();
  ASSERT_GE(k, 0);
  EXPECT_EQ(t.Candidates().Link(k), m_srv.url("/fast.mp3"));

  const CCandidateList list = m_host.List();
  const std::vector<Candidate> ranked = list.Ranked();
  ASSERT_EQ(ranked.size(), 7u);
  EXPECT_EQ(ranked[0].m_strAddress, m_srv.url("/fast.mp3"));
  EXPECT_EQ(VerdictText(ranked[0]), T("已选用"));
  EXPECT_EQ(ranked[0].m_probe.m_nLength, 6000);
  EXPECT_EQ(ranked[0].m_probe.m_strContentType, "audio/mpeg");
  EXPECT_EQ(ranked[0].m_strHost, m_srv.hostPort());
  // Whichever way the clock went on a busy machine, the reason matches it.
  EXPECT_EQ(list.Reason(), ranked[0].m_probe.m_nTimeMs <= 100 ? ChosenReason::kFastEnough : ChosenReason::kFastest);

  const Candidate& s = Find(ranked, "/slow.mp3");
  EXPECT_EQ(VerdictText(s), T("可用"));
  EXPECT_GE(s.m_probe.m_nTimeMs, 1000);
  EXPECT_GT(s.m_probe.m_nTimeMs, ranked[0].m_probe.m_nTimeMs);
  EXPECT_TRUE(s.m_probe.m_bRanges);
  EXPECT_EQ(ranked[1].m_strAddress, s.m_strAddress);  // usable ones follow the chosen

  EXPECT_EQ(VerdictText(Find(ranked, "/page.mp3")), T("不是歌曲文件"));
  EXPECT_EQ(VerdictText(Find(ranked, "/big.mp3")), T("大小不在限制范围内"));
  EXPECT_EQ(Find(ranked, "/big.mp3").m_probe.m_nLength, 100001);
  EXPECT_EQ(VerdictText(Find(ranked, "/nolen.mp3")), T("长度未知"));
  EXPECT_EQ(VerdictText(Find(ranked, "/missing.mp3")), T("探测失败"));
  // Refused ones close the list in the order found.
  EXPECT_EQ(ranked[2].m_strAddress, dead);
  // A refused link says why.
  EXPECT_EQ(VerdictText(ranked[2]).rfind(T("探测失败: 无法连接到服务器: 127.0.0.1:"), 0), 0u);
  EXPECT_EQ(ranked[2].m_probe.m_nTimeMs, -1);
  EXPECT_EQ(ranked[3].m_strAddress, m_srv.url("/page.mp3"));
  EXPECT_EQ(ranked[6].m_strAddress, m_srv.url("/missing.mp3"));
}

TEST_F(CandidateProbeTest, WithoutSpeedCheckTheFirstUsableIsChosenAndTheRestStayUnprobed) {
  m_srv.route("/a.mp3", Route::File(std::string(50, 'a')));
  m_srv.route("/b.mp3", Route::File(std::string(5000, 'b')));
  m_srv.route("/c.mp3", Route::File(std::string(5000, 'c')));
  Search({"/a.mp3", "/b.mp3", "/c.mp3"}, false);
  m_host.AddEntry("w");
  CDownloadTask& t = m_host.CreateTask("w");
  ASSERT_EQ(t.SearchAndChoose(), 1);
  const CCandidateList list = m_host.List();
  EXPECT_EQ(list.Reason(), ChosenReason::kNoSpeedCheck);
  const std::vector<Candidate> ranked = list.Ranked();
  ASSERT_EQ(ranked.size(), 3u);
  EXPECT_EQ(ranked[0].m_strAddress, m_srv.url("/b.mp3"));
  EXPECT_EQ(ranked[1].m_strAddress, m_srv.url("/c.mp3"));
  EXPECT_FALSE(ranked[1].m_bProbed);
  EXPECT_EQ(VerdictText(ranked[1]), T("未探测"));
  EXPECT_TRUE(m_srv.requestsFor("/c.mp3").empty());
  EXPECT_EQ(VerdictText(ranked[2]), T("大小不在限制范围内"));
}

}  // namespace
