// The road of a task from its name to the file, against the scripted
// server: search, probe, pick, multi-block download, retries, activation
// while running, and cancelling at every stage.
#include <gtest/gtest.h>

#include <dirent.h>

#include <filesystem>

#include "engine/job/DiskWrite.h"
#include "engine/http/HttpSocket.h"
#include "res/Texts.h"
#include "task/DownloadTask.h"
#include "tests/support/Loopback.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/SongMaker.h"
#include "tests/support/TempHome.h"
#include "tests/task/TaskTestHost.h"

namespace {

using vtest::Route;
using vtest::TaskTestHost;

bool StartsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

// Readable failure output for GBK texts.
std::string Show(const std::vector<std::string>& texts) {
  std::string out;
  for (const auto& t : texts) out += "\n  " + GbkToUtf8(t);
  return out;
}

// What a job leaves in the temporary directory, apart from the lock file of
// its name, which stays for the next job of that name.
std::vector<std::string> TempFiles(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() != ".lock") out.push_back(e.path().filename());
  return out;
}

class TaskRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_con = ConTimeOut.load();
    m_get = GetTimeOut.load();
    ConTimeOut = 2;
    GetTimeOut = 3;
    TaskSettings s;
    s.m_strSearchHead = m_srv.url("/search?k=");
    s.m_nMinSize = 1000;
    s.m_nMaxSize = 1000000;
    s.m_nBlocks = 3;
    s.m_bCheckSpeed = false;
    m_host.SetSettings(s);
  }
  void TearDown() override {
    ConTimeOut = m_con;
    GetTimeOut = m_get;
  }
  void SearchPage(const std::vector<std::string>& links) {
    std::string page = T("<html><body>搜索结果<br>\n");
    for (const auto& l : links) page += "<a href=\"" + l + "\">" + T("下载") + "</a>\n";
    page += "</body></html>";
    Route r = Route::File(page);
    r.prefix = true;
    m_srv.route("/search", r);
  }
  bool WaitFor(const std::string& name, const std::string& text, int ms = 30000) {
    return TaskTestHost::WaitUntil(
        [&] {
          for (const auto& t : m_host.Column(name, 7))
            if (t == text) return true;
          return false;
        },
        ms);
  }
  // The column-7 texts of the task itself, without the job's thread texts.
  std::vector<std::string> TaskTexts(const std::string& name) {
    std::vector<std::string> out;
    for (const auto& t : m_host.Column(name, 7))
      if (!StartsWith(t, T("线程"))) out.push_back(t);
    return out;
  }

  vtest::TempHome m_home;
  vtest::ScriptedServer m_srv;
  TaskTestHost m_host;
  int m_con = 0, m_get = 0;
};

TEST_F(TaskRoadTest, NameToFileThroughSearchProbeAndBlocks) {
  const std::string name = T("月亮代表我的心");
  const std::string song = vtest::Mp3Bytes(300001, 7);
  m_srv.route("/songs/small.mp3", Route::File(std::string(999, 's')));
  m_srv.route("/songs/moon.mp3", Route::File(song));
  SearchPage({"/songs/small.mp3", "moon.MP3x", "/songs/moon.mp3"});
  // The folder is made when missing.
  std::filesystem::remove_all(m_home.downloads());
  m_host.SetQueued(true);

  m_host.AddEntry(name);
  m_host.CreateTask(name);
  m_host.ActivateAsync(name);
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 60000))
      << Show(TaskTexts(name));

  const std::string url = m_srv.url("/songs/moon.mp3");
  const std::vector<std::string> expected = {
      T("正在访问搜索引擎..."),         T("正在读取下载地址..."),
      T("共找到2个下载地址."),          T("正在测试第1个连接的速度..."),
      T("正在测试第2个连接的速度..."), url};
  EXPECT_EQ(TaskTexts(name), expected);
  EXPECT_EQ(m_host.AddressHistory(name), expected);
  EXPECT_EQ(m_host.SavedAddresses(name), std::vector<std::string>{url});
  const auto col7 = m_host.Column(name, 7);
  EXPECT_EQ(col7.back(), T("线程-1: 下载成功"));

  EXPECT_EQ(vtest::ReadFile(m_home.downloads() + "/月亮代表我的心.mp3"), song);
  EXPECT_EQ(m_host.Removed(), std::vector<std::string>{name});
  EXPECT_EQ(m_host.DeletedRows(), std::vector<std::string>{name});
  EXPECT_EQ(m_host.Wakes(), 1);
  EXPECT_TRUE(TempFiles(m_home.temp()).empty()) << ::testing::PrintToString(TempFiles(m_home.temp()));

  // The search asked for the GBK name escaped, and the file came in ranges.
  auto search = m_srv.requestsFor("/search");
  ASSERT_EQ(search.size(), 1u);
  EXPECT_EQ(search[0].target, "/search?k=%D4%C2%C1%C1%B4%FA%B1%ED%CE%D2%B5%C4%D0%C4");
  int blockRanges = 0;
  for (const auto& r : m_srv.requestsFor("/songs/moon.mp3"))
    if (r.method == "GET" && !r.range.empty() && r.range != "bytes=0-") ++blockRanges;
  EXPECT_GE(blockRanges, 2);  // blocks 1 and 2; block 0 is the job's first request
  const auto size = m_host.Column(name, 1);
  ASSERT_FALSE(size.empty());
  EXPECT_EQ(size.back(), "292KB");
  EXPECT_EQ(m_host.Column(name, 3).back(), "100%");
}

TEST_F(TaskRoadTest, FourFailuresCountOneTwoThreeThenGiveUp) {
  m_srv.route("/bad.mp3", Route::Raw("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"));
  SearchPage({"/bad.mp3"});
  m_host.AddEntry("f");
  CDownloadTask& t = m_host.CreateTask("f");
  int probes = 0;
  t.m_fnProbe = [&](const std::string&, int& time, int& size) {
    ++probes;
    time = 50;
    size = 2000;
  };
  m_host.ActivateAsync("f");
  ASSERT_TRUE(WaitFor("f", T(txt::kDownloadFailed)));
  // The text shows before the record is marked and saved.
  const std::string failed = T(txt::kFailedMark);
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] {
    const auto saved = m_host.SavedRetries("f");
    return !saved.empty() && saved.back() == failed;
  }, 30000));

  std::vector<std::string> failures;
  for (const auto& s : TaskTexts("f"))
    if (s.find(T("下载失败")) != std::string::npos) failures.push_back(s);
  EXPECT_EQ(failures, (std::vector<std::string>{T("1次下载失败"), T("2次下载失败"), T("3次下载失败"),
                                                T("下载失败.")}));
  // Each retry finds the failed candidate marked and probes it afresh.
  EXPECT_EQ(probes, 4);
  EXPECT_TRUE(m_host.Removed().empty());  // the task stays, idle
  EXPECT_EQ(m_srv.requestsFor("/search").size(), 1u);

  // The record counts the failures, then says the task gave up, and that
  // reaches downing.dat.
  EXPECT_EQ(m_host.RetriesHistory("f"), (std::vector<std::string>{"1", "2", "3", failed}));
  EXPECT_EQ(m_host.Column("f", 10), (std::vector<std::string>{"", "1", "2", "3", failed}));
  TaskEntry e;
  ASSERT_TRUE(m_host.Entry("f", e));
  EXPECT_TRUE(IsFailedEntry(e));

  // A new activation starts with a clean record and counts afresh.
  m_host.ActivateAsync("f");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.RetriesHistory("f").size() >= 9; }, 30000));
  EXPECT_EQ(m_host.RetriesHistory("f"),
            (std::vector<std::string>{"1", "2", "3", failed, "", "1", "2", "3", failed}));
}

TEST_F(TaskRoadTest, FullDiskEndsTheTaskWithoutTryingOtherLinks) {
  const std::string body = vtest::Mp3Bytes(4000, 8);
  m_srv.route("/one.mp3", Route::File(body));
  m_srv.route("/two.mp3", Route::File(body));
  SearchPage({"/one.mp3", "/two.mp3"});
  m_host.AddEntry("d");
  CDownloadTask& t = m_host.CreateTask("d");
  t.m_fnProbe = [&](const std::string&, int& time, int& size) {
    time = 50;
    size = 4000;
  };
  InjectWriteError(m_home.downloads(), ENOSPC);
  m_host.ActivateAsync("d");
  const bool ended = WaitFor("d", T(txt::kDiskFull));
  InjectWriteError("", 0);
  ASSERT_TRUE(ended);
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] {
    return !m_host.SavedRetries("d").empty() && m_host.SavedRetries("d").back() == T(txt::kFailedMark);
  }));
  EXPECT_EQ(m_host.RetriesHistory("d"), (std::vector<std::string>{T(txt::kFailedMark)}));
  // One link was downloaded and nothing more: the blocks wait for room.
  EXPECT_EQ(m_srv.requestsFor("/one.mp3").empty() + m_srv.requestsFor("/two.mp3").empty(), 1);
  EXPECT_FALSE(TempFiles(m_home.temp()).empty());
}

TEST_F(TaskRoadTest, SongThatCannotTakeItsNameEndsTheTaskWithTheCause) {
  const std::string body = vtest::Mp3Bytes(4000, 8);
  m_srv.route("/one.mp3", Route::File(body));
  m_srv.route("/two.mp3", Route::File(body));
  SearchPage({"/one.mp3", "/two.mp3"});
  m_host.AddEntry("d");
  CDownloadTask& t = m_host.CreateTask("d");
  t.m_fnProbe = [&](const std::string&, int& time, int& size) {
    time = 50;
    size = 4000;
  };
  // A folder where the song goes: the merge cannot give it its name.
  ASSERT_TRUE(std::filesystem::create_directories(m_home.downloads() + "/d.mp3"));
  m_host.ActivateAsync("d");
  ASSERT_TRUE(WaitFor("d", SystemErrorText(EISDIR))) << Show(m_host.Column("d", 7));
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] {
    return !m_host.SavedRetries("d").empty() && m_host.SavedRetries("d").back() == T(txt::kFailedMark);
  }));
  // No other link can cure it; the blocks stay for a start once it is moved.
  EXPECT_EQ(m_srv.requestsFor("/one.mp3").empty() + m_srv.requestsFor("/two.mp3").empty(), 1);
  EXPECT_FALSE(TempFiles(m_home.temp()).empty());
}

TEST_F(TaskRoadTest, MirrorThatFailsFirstIsRetriedToTheFile) {
  const std::string song = vtest::Mp3Bytes(30000, 4);
  Route flaky = Route::File(song);
  flaky.faults.reset = true;  // the first job's length request is reset
  flaky.faults.onlyFirst = 1;
  m_srv.route("/flaky.mp3", flaky);
  SearchPage({"/flaky.mp3"});
  m_host.AddEntry("m");
  CDownloadTask& t = m_host.CreateTask("m");
  t.m_fnProbe = [](const std::string&, int& time, int& size) {
    time = 20;
    size = 30000;
  };
  m_host.ActivateAsync("m");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 60000))
      << Show(TaskTexts("m"));
  const std::string url = m_srv.url("/flaky.mp3");
  EXPECT_EQ(TaskTexts("m"),
            (std::vector<std::string>{T("正在访问搜索引擎..."), T("正在读取下载地址..."),
                                      T("共找到1个下载地址."), T("正在测试第1个连接的速度..."), url,
                                      T("1次下载失败"), T("正在测试第1个连接的速度..."), url}))
      << Show(m_host.Column("m", 7));
  EXPECT_TRUE(vtest::ReadFile(m_home.downloads() + "/m.mp3") == song);
}

TEST_F(TaskRoadTest, FailedStoredAddressIsClearedSavedAndSearchedAnew) {
  const std::string song = vtest::Mp3Bytes(5000, 3);
  m_srv.route("/found.mp3", Route::File(song));
  SearchPage({m_srv.url("/found.mp3")});
  const std::string stored = m_srv.url("/gone.mp3");
  m_host.AddEntry("s", stored, "1m:2s");
  m_host.CreateTask("s");
  m_host.ActivateAsync("s");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 60000))
      << Show(TaskTexts("s"));

  const auto texts = TaskTexts("s");
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[0], stored);
  EXPECT_EQ(texts[1], T("1次下载失败"));
  EXPECT_EQ(texts[2], T("正在访问搜索引擎..."));
  EXPECT_EQ(texts.back(), m_srv.url("/found.mp3"));
  EXPECT_EQ(m_host.SavedAddresses("s"), (std::vector<std::string>{"", m_srv.url("/found.mp3")}));
  int gone = 0;
  for (const auto& r : m_srv.requests()) gone += r.target == "/gone.mp3";
  EXPECT_GT(gone, 0);  // the stored address was tried first
  EXPECT_EQ(vtest::ReadFile(m_home.downloads() + "/s.mp3"), song);
}

// An https address in the entry is the task's stored address as an http
// one is: tried first, not taken for a status text and overwritten.
TEST_F(TaskRoadTest, StoredHttpsAddressIsTriedFirst) {
  const std::string song = vtest::Mp3Bytes(5000, 4);
  m_srv.route("/found.mp3", Route::File(song));
  SearchPage({m_srv.url("/found.mp3")});
  // Nothing on this port speaks TLS: the stored address fails.
  const std::string stored = "https://127.0.0.1:" + std::to_string(vtest::UnusedLoopbackPort()) + "/s.mp3";
  m_host.AddEntry("s", stored, "");
  m_host.CreateTask("s");
  m_host.ActivateAsync("s");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 60000)) << Show(TaskTexts("s"));
  const auto texts = TaskTexts("s");
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[0], stored);
  EXPECT_EQ(texts[1], T("1次下载失败"));
  EXPECT_EQ(vtest::ReadFile(m_home.downloads() + "/s.mp3"), song);
}

TEST_F(TaskRoadTest, StoredElapsedRestartsTheClock) {
  Route slow = Route::File(vtest::RandomBytes(60000, 5));
  slow.faults.rateBytesPerSec = 20000;
  m_srv.route("/slow.mp3", slow);
  m_host.AddEntry("e", m_srv.url("/slow.mp3"), "12m:5s");
  CDownloadTask& t = m_host.CreateTask("e");
  t.m_fnTick = [] { return 1000u; };  // clock never moves: elapsed stays what the start took
  m_host.ActivateAsync("e");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return !m_host.Column("e", 4).empty(); }));
  EXPECT_EQ(m_host.Column("e", 4).front(), "12m:5s");
  m_host.DropTask("e");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }));
}

TEST_F(TaskRoadTest, FallbackToOneBlockDoesNotCountOldBlocks) {
  const std::string song = vtest::Mp3Bytes(50000, 9);
  Route r = Route::File(song);
  r.faults.ignoreRange = true;
  m_srv.route("/norange.mp3", r);
  m_host.AddEntry("o", m_srv.url("/norange.mp3"));
  CDownloadTask& t = m_host.CreateTask("o");
  // Counts left over from an attempt with several blocks.
  for (int i = 0; i < CDownloadTask::kMaxBlocks; ++i) t.OnProgress(40000, 40000, i);
  m_host.ActivateAsync("o");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 60000));
  const auto percents = m_host.Column("o", 3);
  ASSERT_FALSE(percents.empty());
  for (const auto& p : percents) EXPECT_LE(std::stoi(p), 100) << p;
  EXPECT_EQ(percents.back(), "100%");
  EXPECT_EQ(vtest::ReadFile(m_home.downloads() + "/o.mp3"), song);
}

TEST_F(TaskRoadTest, SecondActivationWhileRunningEndsTheFirstRun) {
  const std::string song = vtest::Mp3Bytes(120000, 11);
  Route slow = Route::File(song);
  slow.faults.rateBytesPerSec = 30000;
  m_srv.route("/slow.mp3", slow);
  m_host.AddEntry("a", m_srv.url("/slow.mp3"));
  m_host.CreateTask("a");
  m_host.ActivateAsync("a");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return !m_host.Column("a", 2).empty(); }));
  ASSERT_TRUE(m_host.ActivateAsync("a"));
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 60000));
  EXPECT_EQ(m_host.Removed(), std::vector<std::string>{"a"});
  EXPECT_EQ(vtest::ReadFile(m_home.downloads() + "/a.mp3"), song);
  // Two jobs started (the texts below), the second continuing what the
  // first left: only the first asked from byte 0.
  int starts = 0;
  for (const auto& r : m_srv.requestsFor("/slow.mp3"))
    if (r.range == "bytes=0-") ++starts;
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(TaskTexts("a"), (std::vector<std::string>{m_srv.url("/slow.mp3"), m_srv.url("/slow.mp3")}));
}

TEST_F(TaskRoadTest, CancelEndsAStalledSearchAtOnce) {
  GetTimeOut = 15;
  Route r = Route::File("late");
  r.prefix = true;
  r.faults.stallMs = 10000;
  m_srv.route("/search", r);
  m_host.AddEntry("c");
  m_host.CreateTask("c");
  m_host.ActivateAsync("c");
  ASSERT_TRUE(WaitFor("c", T(txt::kVisitingEngine)));
  ASSERT_TRUE(m_srv.waitForRequests(1, 5000));
  m_host.DropTask("c");
  // Well before the stall would have ended.
  EXPECT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 4000));
  EXPECT_EQ(TaskTexts("c"), std::vector<std::string>{T(txt::kVisitingEngine)});
}

TEST_F(TaskRoadTest, CancelEndsAStalledProbeAtOnce) {
  GetTimeOut = 15;
  Route r = Route::File(std::string(2000, 'x'));
  r.faults.stallMs = 10000;
  m_srv.route("/stall.mp3", r);
  SearchPage({"/stall.mp3"});
  m_host.AddEntry("p");
  m_host.CreateTask("p");
  m_host.ActivateAsync("p");
  ASSERT_TRUE(WaitFor("p", T("正在测试第1个连接的速度...")));
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return !m_srv.requestsFor("/stall.mp3").empty(); }));
  m_host.DropTask("p");
  EXPECT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 4000));
}

TEST_F(TaskRoadTest, CancelEndsAStalledLengthRequestAtOnce) {
  GetTimeOut = 15;
  Route r = Route::File(std::string(2000, 'x'));
  r.faults.stallMs = 10000;
  m_srv.route("/stall.mp3", r);
  m_host.AddEntry("l", m_srv.url("/stall.mp3"));
  m_host.CreateTask("l");
  m_host.ActivateAsync("l");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return !m_srv.requestsFor("/stall.mp3").empty(); }));
  m_host.DropTask("l");
  EXPECT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 4000));
}

TEST_F(TaskRoadTest, NewActivationDoesNotWaitForAStalledLengthRequest) {
  GetTimeOut = 15;
  const std::string song = vtest::Mp3Bytes(2000, 6);
  Route r = Route::File(song);
  r.faults.stallMs = 10000;
  r.faults.onlyFirst = 1;
  m_srv.route("/once.mp3", r);
  m_host.AddEntry("w", m_srv.url("/once.mp3"));
  m_host.CreateTask("w");
  m_host.ActivateAsync("w");
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] { return !m_srv.requestsFor("/once.mp3").empty(); }));
  ASSERT_TRUE(m_host.ActivateAsync("w"));
  // The second run gets an answer at once and finishes long before the stall ends.
  EXPECT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == 1; }, 5000));
  EXPECT_EQ(vtest::ReadFile(m_home.downloads() + "/w.mp3"), song);
}

TEST_F(TaskRoadTest, SearchFailsThreeTimesThenStaysIdle) {
  m_srv.route("/search", [] {
    Route r = Route::File("<html>nothing here</html>");
    r.prefix = true;
    return r;
  }());
  m_host.AddEntry("n");
  m_host.CreateTask("n");
  m_host.ActivateAsync("n");
  ASSERT_TRUE(WaitFor("n", T(txt::kSearchFailed)));
  // The text shows before the entry is marked and saved: wait for the save.
  ASSERT_TRUE(TaskTestHost::WaitUntil([&] {
    return !m_host.SavedRetries("n").empty() && m_host.SavedRetries("n").back() == T(txt::kFailedMark);
  }));
  std::vector<std::string> once = {T("正在访问搜索引擎..."), T("正在读取下载地址..."),
                                   T("无该歌曲的MP3供下载.")};
  std::vector<std::string> expected;
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), once.begin(), once.end());
  expected.push_back(T(txt::kSearchFailed));
  EXPECT_EQ(TaskTexts("n"), expected);
  EXPECT_EQ(m_srv.requestsFor("/search").size(), 3u);
  TaskEntry e;
  ASSERT_TRUE(m_host.Entry("n", e));
  EXPECT_EQ(std::string(e.m_szAddress), T(txt::kSearchFailed));
  EXPECT_TRUE(IsFailedEntry(e));
  EXPECT_EQ(m_host.SavedRetries("n").back(), T(txt::kFailedMark));
}

// What a search engine reads from a query: pairs split at "&" (and ";" by
// older scripts), the fragment never arrives, "+" is a blank, %XX a byte.
std::string EngineReadsKey(const std::string& target, const std::string& key) {
  std::string query = target.substr(target.find('?') + 1);
  query = query.substr(0, query.find('#'));
  size_t start = 0;
  while (start <= query.size()) {
    const size_t end = std::min(query.find_first_of("&;", start), query.size());
    const std::string pair = query.substr(start, end - start);
    start = end + 1;
    if (pair.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string out;
    for (size_t i = key.size() + 1; i < pair.size(); ++i) {
      if (pair[i] == '+') {
        out += ' ';
      } else if (pair[i] == '%' && i + 2 < pair.size() && std::isxdigit(static_cast<unsigned char>(pair[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(pair[i + 2]))) {
        out += static_cast<char>(std::stoi(pair.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += pair[i];
      }
    }
    return out;
  }
  return "<no key>";
}

TEST_F(TaskRoadTest, NamesWithQueryMarksReachTheEngineAsTyped) {
  SearchPage({"/x.mp3"});
  const std::vector<std::string> names = {T("C#小调"), T("雨夜&路灯"), "Blue+Green", "100%41", "a?b", "x=y",
                                          "p;q", "moon river", T("歌") + "#%&+?=;"};
  for (const std::string& name : names) {
    m_srv.clearRequests();
    m_host.AddEntry(name);
    EXPECT_TRUE(m_host.CreateTask(name).SearchSong()) << GbkToUtf8(name);
    const auto reqs = m_srv.requestsFor("/search");
    ASSERT_EQ(reqs.size(), 1u) << GbkToUtf8(name);
    EXPECT_EQ(EngineReadsKey(reqs[0].target, "k"), name) << reqs[0].target;
    // Escapes are upper-case hex and blanks travel as %20.
    EXPECT_EQ(reqs[0].target.find(' '), std::string::npos);
    for (size_t p = reqs[0].target.find('%'); p != std::string::npos; p = reqs[0].target.find('%', p + 1))
      EXPECT_EQ(reqs[0].target.substr(p + 1, 2), [&] {
        std::string h = reqs[0].target.substr(p + 1, 2);
        for (char& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return h;
      }()) << reqs[0].target;
  }
  // The entry keeps the name as typed.
  TaskEntry e;
  ASSERT_TRUE(m_host.Entry(T("C#小调"), e));
  EXPECT_EQ(std::string(e.m_szName), T("C#小调"));
}

TEST_F(TaskRoadTest, UnreachableEngineShowsTheNetworkText) {
  TaskSettings s = m_host.Settings();
  {
    vtest::ScriptedServer gone;
    s.m_strSearchHead = gone.url("/search?k=");
  }
  m_host.SetSettings(s);
  m_host.AddEntry("u");
  m_host.CreateTask("u");
  m_host.ActivateAsync("u");
  ASSERT_TRUE(WaitFor("u", T(txt::kSearchFailed)));
  const auto texts = TaskTexts("u");
  ASSERT_EQ(texts.size(), 7u);
  EXPECT_EQ(texts[1], T("无法访问网络资源,请确认Internet连接正常."));
}

// Start, stop and delete tasks while they download, some finishing as they go.
TEST_F(TaskRoadTest, StartStopAndDeleteWhileDownloading) {
  TaskSettings s = m_host.Settings();
  s.m_nBlocks = 4;
  m_host.SetSettings(s);
  Route quick = Route::File(vtest::RandomBytes(4000, 1));
  Route slow = Route::File(vtest::RandomBytes(200000, 2));
  slow.faults.rateBytesPerSec = 200000;
  m_srv.route("/quick.mp3", quick);
  m_srv.route("/slow.mp3", slow);
  const int kTasks = 24;
  for (int i = 0; i < kTasks; ++i) {
    const std::string name = "t" + std::to_string(i);
    m_host.AddEntry(name, m_srv.url(i % 3 == 0 ? "/quick.mp3" : "/slow.mp3"));
    m_host.CreateTask(name);
    m_host.ActivateAsync(name);
    if (i % 4 == 1) m_host.ActivateAsync(name);  // a second activation racing the first
    std::this_thread::sleep_for(std::chrono::milliseconds((i % 5) * 7));
    if (i % 3 != 2) m_host.DropTask(name);
  }
  for (int i = 0; i < kTasks; ++i)
    if (i % 3 == 2) m_host.DropTask("t" + std::to_string(i));
  EXPECT_TRUE(TaskTestHost::WaitUntil([&] { return m_host.Reaped() == kTasks; }, 60000));
}

}  // namespace
