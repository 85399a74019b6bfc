// A music server as the search engine, against the scripted server: the
// token form and the version the server reports, the fallback to the
// password form, errors in the server's own words, the suffix filter, and
// a whole download whose stored address never holds a credential.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "engine/Gbk.h"
#include "engine/http/HttpSocket.h"
#include "engine/http/RequestAuth.h"
#include "res/Texts.h"
#include "task/DownloadTask.h"
#include "task/Md5.h"
#include "task/JsonValue.h"
#include "task/SubsonicSearch.h"
#include "task/SubsonicServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/SongMaker.h"
#include "tests/support/TempHome.h"
#include "tests/task/TaskTestHost.h"

namespace {

using vtest::Route;
using vtest::TaskTestHost;

std::map<std::string, std::string> Query(const std::string& target) {
  std::map<std::string, std::string> q;
  const size_t at = target.find('?');
  if (at == std::string::npos) return q;
  std::string rest = target.substr(at + 1);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string pair = rest.substr(0, amp);
    const size_t eq = pair.find('=');
    q[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
    rest = amp == std::string::npos ? "" : rest.substr(amp + 1);
  }
  return q;
}

std::string Reply(const std::string& status, const std::string& version, const std::string& more) {
  return "{\"subsonic-response\":{\"status\":\"" + status + "\",\"version\":\"" + version + "\"" +
         more + "}}";
}

std::string Failure(int code, const std::string& message) {
  return Reply("failed", "1.13.0",
               ",\"error\":{\"code\":" + std::to_string(code) + ",\"message\":\"" + message + "\"}");
}

bool HasCredentials(const std::string& target) {
  const auto q = Query(target);
  return q.count("u") + q.count("t") + q.count("s") + q.count("p") > 0;
}

// Resident kilobytes of this process now.
long ResidentKb() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

class SubsonicSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CSubsonicServer::ForgetAll();
    m_con = ConTimeOut.load();
    m_get = GetTimeOut.load();
    ConTimeOut = 2;
    GetTimeOut = 5;
    m_settings.m_strServer = m_srv.url("/");  // the trailing "/" is not doubled
    m_settings.m_strUser = "user1";
    m_settings.m_strPassword = "sesame";
    m_settings.m_nMinSize = 1000;
    m_settings.m_bCheckSpeed = false;
    Serve("/rest/ping.view", Reply("ok", "1.16.1", ""));
  }
  void TearDown() override {
    CSubsonicServer::ForgetAll();
    ConTimeOut = m_con;
    GetTimeOut = m_get;
  }
  void Serve(const std::string& path, const std::string& body) {
    Route r = Route::File(body);
    r.prefix = true;
    r.contentType = "application/json";
    m_srv.route(path, r);
  }
  SearchResult Search(const std::string& gbkName) {
    CSubsonicSearch search(m_settings);
    return search.Search(gbkName, {});
  }
  std::string Link(const std::string& id) { return m_srv.url("/rest/download.view?id=" + id); }

  vtest::TempHome m_home;
  vtest::ScriptedServer m_srv;
  TaskSettings m_settings;
  int m_con = 0, m_get = 0;
};

TEST_F(SubsonicSearchTest, TokenFormWithTheReportedVersionAndSongsOfTheWantedSuffix) {
  Serve("/rest/search3.view",
        Reply("ok", "1.16.1",
              ",\"searchResult3\":{\"song\":["
              "{\"id\":\"a1\",\"title\":\"x\",\"suffix\":\"mp3\"},"
              "{\"id\":\"b2\",\"suffix\":\"flac\"},"
              "{\"id\":\"c 3/4\",\"suffix\":\"MP3\"},"
              "{\"suffix\":\"mp3\"},"
              "{\"id\":5,\"suffix\":\"mp3\"},"
              "{\"id\":\"a1\",\"suffix\":\"mp3\"}]}"));
  const SearchResult r = Search(T("月亮"));
  ASSERT_EQ(r.m_outcome, SearchOutcome::kFound);
  // Server order, no duplicates, ids escaped, no credentials in a link.
  EXPECT_EQ(r.m_links, (std::vector<std::string>{Link("a1"), Link("c%203%2F4"), Link("5")}));

  const auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  ASSERT_EQ(reqs[0].target.rfind("/rest/ping.view?", 0), 0u) << reqs[0].target;
  ASSERT_EQ(reqs[1].target.rfind("/rest/search3.view?", 0), 0u) << reqs[1].target;
  const auto ping = Query(reqs[0].target), search = Query(reqs[1].target);
  EXPECT_EQ(search.at("v"), "1.16.1");  // what the ping said
  EXPECT_EQ(search.at("query"), "%E6%9C%88%E4%BA%AE");  // UTF-8, not GBK
  EXPECT_EQ(search.at("songCount"), "30");
  EXPECT_EQ(search.at("artistCount"), "0");
  EXPECT_EQ(search.at("albumCount"), "0");
  EXPECT_EQ(search.at("f"), "json");
  for (const auto& q : {ping, search}) {
    EXPECT_EQ(q.at("u"), "user1");
    EXPECT_EQ(q.at("c"), "virelomp3");
    EXPECT_EQ(q.count("p"), 0u);
    ASSERT_EQ(q.count("s"), 1u);
    EXPECT_GE(q.at("s").size(), 6u);
    EXPECT_EQ(q.at("t"), Md5Hex("sesame" + q.at("s")));
  }
  EXPECT_NE(ping.at("s"), search.at("s"));  // a fresh salt each time
}

TEST_F(SubsonicSearchTest, NoSongOfTheTypeIsNoSongAndALoneSongCountsToo) {
  Serve("/rest/search3.view", Reply("ok", "1.16.1", ",\"searchResult3\":{\"song\":"
                                                    "{\"id\":\"w\",\"suffix\":\"wma\"}}"));
  EXPECT_EQ(Search("x").m_outcome, SearchOutcome::kNoSong);
  m_settings.m_strFileType = ".WMA";
  const SearchResult r = Search("x");
  EXPECT_EQ(r.m_outcome, SearchOutcome::kFound);
  EXPECT_EQ(r.m_links, std::vector<std::string>{Link("w")});
  Serve("/rest/search3.view", Reply("ok", "1.16.1", ",\"searchResult3\":{}"));
  EXPECT_EQ(Search("x").m_outcome, SearchOutcome::kNoSong);
}

TEST_F(SubsonicSearchTest, ARefusedTokenSwitchesThatServerToThePasswordFormForGood) {
  m_settings.m_strPassword = "enc:" + std::string("736573616d65");  // "sesame"
  Serve("/rest/ping.view", Failure(41, "Token authentication not supported"));
  Serve("/rest/search3.view", Failure(41, "Token authentication not supported"));
  const SearchResult r = Search("x");
  EXPECT_EQ(r.m_outcome, SearchOutcome::kFailed);
  EXPECT_EQ(r.m_strMessage, "Token authentication not supported");

  auto reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 3u);  // ping with a token, ping with p, search with p
  EXPECT_EQ(Query(reqs[0].target).count("t"), 1u);
  for (size_t i = 1; i < reqs.size(); ++i) {
    const auto q = Query(reqs[i].target);
    EXPECT_EQ(q.count("t") + q.count("s"), 0u) << reqs[i].target;
    EXPECT_EQ(q.at("p"), "enc:736573616d65");
    EXPECT_EQ(q.at("v"), "1.13.0");  // a failed reply still names the version
  }
  // Remembered per server: the next search and the downloads ask with p at once.
  m_srv.clearRequests();
  Search("y");
  reqs = m_srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(Query(reqs[0].target).count("p"), 1u);
  EXPECT_EQ(CRequestAuth::Decorate("127.0.0.1", m_srv.port(), "/rest/download.view?id=1"),
            "/rest/download.view?id=1&u=user1&v=1.13.0&c=virelomp3&p=enc:736573616d65");
  // Another error code never switches.
  CSubsonicServer::ForgetAll();
  Serve("/rest/ping.view", Failure(40, "Wrong username or password"));
  Serve("/rest/search3.view", Failure(40, "Wrong username or password"));
  m_srv.clearRequests();
  Search("z");
  for (const auto& q : m_srv.requests()) EXPECT_EQ(Query(q.target).count("p"), 0u);
}

TEST_F(SubsonicSearchTest, TheTaskShowsTheServersOwnWordsAndNothingElseReachesTheServer) {
  Serve("/rest/search3.view", Failure(70, "\\u6ca1\\u6709"));  // 没有
  TaskTestHost host;
  host.SetSettings(m_settings);
  host.AddEntry("s");
  CDownloadTask& t = host.CreateTask("s");
  EXPECT_EQ(t.Execute(), -1);
  const auto texts = host.Column("s", 7);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), T("搜索歌曲失败. 没有"));
  // A reply that is not the API's is a failure without words, never links.
  Serve("/rest/search3.view", "<html><a href=\"x.mp3\">x</a></html>");
  EXPECT_EQ(Search("s").m_outcome, SearchOutcome::kFailed);
  // Nothing listens: unreachable.
  m_settings.m_strServer = "http://127.0.0.1:1";
  EXPECT_EQ(Search("s").m_outcome, SearchOutcome::kUnreachable);
}

TEST_F(SubsonicSearchTest, PasswordsAsStoredBecomeUtf8) {
  EXPECT_EQ(CSubsonicServer::DecodePassword("enc:E69C88"), "月");
  EXPECT_EQ(CSubsonicServer::DecodePassword(T("月亮")), "月亮");  // GBK in the file
  EXPECT_EQ(CSubsonicServer::DecodePassword("enc:zz"), "enc:zz");  // not hex: as written
  EXPECT_EQ(CSubsonicServer::DecodePassword("enc:abc"), "enc:abc");
  EXPECT_EQ(CSubsonicServer::DecodePassword("enc:"), "");
  EXPECT_EQ(CSubsonicServer::EncodePassword("月!"), "enc:e69c8821");
  EXPECT_EQ(CSubsonicServer::DecodePassword(CSubsonicServer::EncodePassword("p w&=")), "p w&=");
}

TEST_F(SubsonicSearchTest, TheSelectedTypeNamesTheSuffixAndTheFile) {
  EXPECT_EQ(CSubsonicSearch::SuffixOf(".WMA"), "wma");
  EXPECT_EQ(CSubsonicSearch::SuffixOf(""), "mp3");
  TaskTestHost host;
  m_settings.m_strFileType = ".RM";
  host.SetSettings(m_settings);
  host.AddEntry(T("歌"));
  CDownloadTask& t = host.CreateTask(T("歌"));
  t.m_strURL = Link("7");
  EXPECT_EQ(t.MakeTargetPath(), m_home.downloads() + "/歌.RM");
}

TEST_F(SubsonicSearchTest, AWholeDownloadStoresTheBareLinkAndSendsCredentialsOnEveryRequest) {
  const std::string song = vtest::Mp3Bytes(200001, 9);
  Serve("/rest/search3.view",
        Reply("ok", "1.16.1", ",\"searchResult3\":{\"song\":[{\"id\":\"s9\",\"suffix\":\"mp3\"}]}"));
  Route file = Route::File(song);
  file.prefix = true;
  m_srv.route("/rest/download.view", file);
  m_settings.m_nBlocks = 3;
  TaskTestHost host;
  host.SetSettings(m_settings);
  host.AddEntry("n");
  host.CreateTask("n");
  host.ActivateAsync("n");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return host.Reaped() == 1; }, 60000));
  EXPECT_EQ(vtest::ReadFile(m_home.downloads() + "/n.MP3"), song);
  EXPECT_EQ(host.SavedAddresses("n"), std::vector<std::string>{Link("s9")});
  for (const auto& text : host.Column("n", 7)) {
    EXPECT_EQ(text.find("t="), std::string::npos) << text;
    EXPECT_EQ(text.find("sesame"), std::string::npos) << text;
  }
  int ranged = 0;
  for (const auto& q : m_srv.requestsFor("/rest/download.view")) {
    const auto params = Query(q.target);
    EXPECT_EQ(params.at("id"), "s9");
    EXPECT_EQ(params.at("t"), Md5Hex("sesame" + params.at("s")));
    if (!q.range.empty() && q.range != "bytes=0-") ++ranged;
  }
  EXPECT_GE(ranged, 2);
}

TEST_F(SubsonicSearchTest, AHostileLinkOrRedirectGetsNoCredentials) {
  // A result page may offer any link ending in ".mp3", and any song host may
  // send the client on: neither may carry the user's name and token to a
  // call that changes something on the server.
  vtest::ScriptedServer host;
  host.route("/promote.mp3", Route::Redirect(302, m_srv.url("/rest/createUser.view?username=x&adminRole=true")));
  const std::string song = vtest::Mp3Bytes(200001, 4);
  Route file = Route::File(song);
  file.prefix = true;
  m_srv.route("/rest/download.view", file);
  host.route("/song.mp3", Route::Redirect(302, m_srv.url("/rest/download.view?id=s1")));
  CSubsonicSearch search(m_settings);  // registers the selected server, as a settings load does
  TaskTestHost taskHost;
  taskHost.SetSettings(m_settings);
  taskHost.AddEntry("a", m_srv.url("/rest/changePassword.view?username=user1&password=x&y=.mp3"));
  taskHost.AddEntry("b", host.url("/promote.mp3"));
  taskHost.AddEntry("c", host.url("/song.mp3"));
  for (const char* name : {"a", "b", "c"}) {
    taskHost.CreateTask(name);
    taskHost.ActivateAsync(name);
  }
  auto arrived = [&](const char* call) {
    for (const auto& q : m_srv.requests())
      if (q.target.find(call) != std::string::npos) return true;
    return false;
  };
  // The redirected song still comes down, bare; the hostile calls arrive.
  ASSERT_TRUE(TaskTestHost::WaitUntil(
      [&] {
        return arrived("changePassword") && arrived("createUser") &&
               vtest::ReadFile(m_home.downloads() + "/c.mp3") == song;
      },
      60000));
  for (const char* name : {"a", "b"}) taskHost.DropTask(name);
  // The failed tasks then search anew: those calls are the program's own.
  for (const auto& q : m_srv.requests()) {
    if (q.target.rfind("/rest/ping.view?", 0) == 0 || q.target.rfind("/rest/search3.view?", 0) == 0) continue;
    EXPECT_FALSE(HasCredentials(q.target)) << q.target;
  }
}

TEST_F(SubsonicSearchTest, AStoredLinkOfAServerNoLongerSelectedFailsUnsent) {
  vtest::ScriptedServer old;
  m_settings.m_otherServers = {old.url("")};
  TaskTestHost host;
  host.SetSettings(m_settings);
  host.AddEntry("s", old.url("/rest/download.view?id=1"));
  CDownloadTask& t = host.CreateTask("s");
  EXPECT_EQ(t.Execute(), -1);
  const auto texts = host.Column("s", 7);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), T("该链接属于未选用的音乐服务器."));
  EXPECT_TRUE(old.requests().empty());
}

TEST_F(SubsonicSearchTest, OnlyTheServersOwnRefusalSwitchesAndTheSwitchIsToldOnce) {
  // A redirect from the ping is not the server's answer: whatever answers
  // there cannot talk the program into the readable form.
  vtest::ScriptedServer elsewhere;
  Route refusal = Route::File(Failure(41, "no token"));
  refusal.contentType = "application/json";
  elsewhere.route("/refuse", refusal);
  m_srv.route("/rest/ping.view", Route::Redirect(302, elsewhere.url("/refuse")));
  Serve("/rest/search3.view", Reply("ok", "1.16.1", ",\"searchResult3\":{}"));
  Search("x");
  EXPECT_TRUE(elsewhere.requests().empty()) << "the redirect was followed";
  for (const auto& q : m_srv.requests()) EXPECT_EQ(Query(q.target).count("p"), 0u) << q.target;

  // The server itself refuses: the task says so once, the next task not again.
  CSubsonicServer::ForgetAll();
  Serve("/rest/ping.view", Failure(41, "Token authentication not supported"));
  Serve("/rest/search3.view", Reply("ok", "1.16.1", ",\"searchResult3\":{}"));
  TaskTestHost host;
  host.SetSettings(m_settings);
  for (const char* name : {"one", "two"}) {
    host.AddEntry(name);
    host.CreateTask(name).Execute();
  }
  int told = 0;
  for (const auto& text : host.Column("one", 7)) told += text == T("服务器不支持令牌登录,已改用密码登录.");
  EXPECT_EQ(told, 1);
  for (const auto& text : host.Column("two", 7)) EXPECT_NE(text, T("服务器不支持令牌登录,已改用密码登录."));
}

TEST_F(SubsonicSearchTest, ARepliesSizeAndValueCountAreCapped) {
  Serve("/rest/search3.view", "[" + std::string(2 << 20, ' ') + "0]");
  SearchResult r = Search("x");
  EXPECT_EQ(r.m_outcome, SearchOutcome::kFailed);
  EXPECT_EQ(r.m_strMessage, T("(服务器的回答超过 1 MiB)"));
  // Small enough, but too many values for its size.
  std::string many = "{\"subsonic-response\":{\"status\":\"ok\",\"a\":[0";
  for (int i = 0; i < 100000; ++i) many += ",0";
  Serve("/rest/search3.view", many + "]}}");
  r = Search("x");
  EXPECT_EQ(r.m_outcome, SearchOutcome::kFailed);
  EXPECT_EQ(r.m_strMessage, T("(服务器的回答超过 100000 个值)"));
  // A ping as large fails the search the same way.
  CSubsonicServer::ForgetAll();
  Serve("/rest/ping.view", "[" + std::string(2 << 20, '0') + "]");
  r = Search("x");
  EXPECT_EQ(r.m_outcome, SearchOutcome::kFailed);
  EXPECT_EQ(r.m_strMessage, T("(服务器的回答超过 1 MiB)"));
}

TEST_F(SubsonicSearchTest, ASixteenMebibyteReplyStaysUnderSixtyFourMebibytes) {
  // Measured in a child of its own: the child's peak against what it
  // started with, so nothing else this process holds counts.
  std::string huge = "{\"subsonic-response\":{\"status\":\"ok\",\"a\":[0";
  huge.reserve(16u << 20);
  while (huge.size() < (16u << 20) - 8) huge += ",0";
  Serve("/rest/search3.view", huge + "]}}");
  huge = std::string();
  const long before = ResidentKb();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CSubsonicSearch search(m_settings);
    const SearchResult r = search.Search("x", {});
    _exit(r.m_outcome == SearchOutcome::kFailed ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  pid_t done;
  do {
    done = wait4(pid, &status, 0, &usage);
  } while (done < 0 && errno == EINTR);
  ASSERT_EQ(done, pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_LT(usage.ru_maxrss - before, 64 * 1024) << "KiB above the start";
}

}  // namespace

namespace {

TEST(SubsonicAudioTest, TheServersOwnFiguresAsGiven) {
  CJsonValue song;
  ASSERT_TRUE(CJsonValue::Parse(R"({"id":"1","bitRate":320,"duration":245,"suffix":"MP3"})", song));
  const AudioFacts a = CSubsonicSearch::AudioOf(song, "MP3");
  EXPECT_EQ(a.m_nKbps, 320);
  EXPECT_EQ(a.m_nSeconds, 245);
  EXPECT_EQ(a.m_strSuffix, "MP3");
  EXPECT_EQ(BitrateText(a), "320kbps");
  EXPECT_EQ(LengthText(a), "4:05");
  // Missing or odd figures are unknown, so the probe's reading is shown.
  ASSERT_TRUE(CJsonValue::Parse(R"({"id":"2","bitRate":"fast","duration":-3})", song));
  const AudioFacts b = CSubsonicSearch::AudioOf(song, "mp3");
  EXPECT_FALSE(b.KnownRate());
  EXPECT_EQ(b.m_nSeconds, -1);
  Candidate c;
  c.m_server = b;
  c.m_probe.m_audio.m_nKbps = 192;
  c.m_probe.m_audio.m_nSeconds = 61;
  EXPECT_EQ(BitrateText(c.Audio()), "192kbps");
  EXPECT_EQ(LengthText(c.Audio()), "1:01");
  c.m_server.m_nKbps = 256;
  EXPECT_EQ(BitrateText(c.Audio()), "256kbps");
}

}  // namespace
