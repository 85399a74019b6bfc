// virelomp3-cli as a child process: errors, the task list, names from stdin,
// and a download killed half-way that resumes from its block files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include "tests/support/SongMaker.h"
#include "tests/app/AppTestUtil.h"
#include "tests/app/CliTestUtil.h"
#include "tests/support/EnvVar.h"
#include "tests/support/Loopback.h"

using namespace apptest;

namespace {

long long Size(const std::string& path) {
  std::error_code ec;
  auto n = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<long long>(n);
}

// Start offsets of the block requests ("bytes=a-b"; a block from byte 0
// may go without a Range line), in order. Open ranges are range probes.
std::vector<long long> RangeStarts(const std::vector<vtest::Request>& requests) {
  std::vector<long long> starts;
  for (const vtest::Request& r : requests) {
    if (r.method != "GET" || r.range.rfind("bytes=", 0) != 0) continue;
    starts.push_back(std::stoll(r.range.substr(6)));
  }
  std::sort(starts.begin(), starts.end());
  return starts;
}

class CliTest : public ::testing::Test {
 protected:
  vtest::TempHome home;
  vtest::ScriptedServer srv;
};

TEST_F(CliTest, MissingHomeIsAClearError) {
  Child c = Spawn({"--home", home.root() + "/nowhere", "get", "a"}, home.root());
  EXPECT_EQ(Wait(c), 2);
  EXPECT_NE(vtest::ReadFile(c.err).find("nowhere"), std::string::npos);
}

TEST_F(CliTest, UnwritableDownloadFolderIsAClearError) {
  std::filesystem::remove_all(home.downloads());
  ASSERT_TRUE(vtest::WriteFile(home.downloads(), "a file where the folder should be"));
  Child c = Spawn({"get", "--no-update-check", "a"}, home.root());
  EXPECT_EQ(Wait(c), 2);
  EXPECT_NE(GbkToUtf8(T(txt::kCliNoDownloadFolder)).find("下载"), std::string::npos);
  EXPECT_NE(vtest::ReadFile(c.err).find("已下载"), std::string::npos);
}

TEST_F(CliTest, UnusableTempFolderIsSaidNotAProbeFailure) {
  // Each place for the private folder is a link someone else put there.
  const std::string first = home.tmpdir() + "virelomp3-" + std::to_string(geteuid());
  ASSERT_EQ(rmdir(first.c_str()), 0);
  ASSERT_EQ(symlink(home.root().c_str(), first.c_str()), 0);
  const std::string user = home.root() + "/user";
  std::filesystem::create_directories(user + "/.cache/virelomp3");
  ASSERT_EQ(symlink(home.root().c_str(), (user + "/.cache/virelomp3/tmp").c_str()), 0);
  vtest::EnvVar h("HOME", user);
  vtest::EnvVar r("XDG_RUNTIME_DIR", std::nullopt);
  Child c = Spawn({"get", "--no-update-check", "a"}, home.root());
  EXPECT_NE(Wait(c), 0);
  const std::string said = vtest::ReadFile(c.out) + vtest::ReadFile(c.err);
  EXPECT_NE(said.find("无法使用临时文件夹: " + first + "(是符号链接)"), std::string::npos) << said;
  EXPECT_EQ(said.find(GbkToUtf8(T(txt::kProbeFailed))), std::string::npos) << said;
  Child f = Spawn({"fetch", "http://127.0.0.1:9/a.mp3", home.downloads() + "/a.mp3"}, home.root());
  EXPECT_EQ(Wait(f), 2);
  EXPECT_NE(vtest::ReadFile(f.err).find("无法使用临时文件夹: " + first), std::string::npos);
}

TEST_F(CliTest, ListShowsTheSavedTasks) {
  ASSERT_TRUE(WriteRecords(TaskListPath(), {MakeEntry(T("歌曲一"), "3,456KB", "http://h/a.mp3"),
                                            MakeEntry("second", "", T("搜索歌曲失败."))}));
  Child c = Spawn({"list"}, home.root());
  EXPECT_EQ(Wait(c), 0);
  std::string out = vtest::ReadFile(c.out);
  EXPECT_NE(out.find("歌曲一"), std::string::npos);
  EXPECT_NE(out.find("3,456KB"), std::string::npos);
  EXPECT_NE(out.find("http://h/a.mp3"), std::string::npos);
  EXPECT_NE(out.find("搜索歌曲失败."), std::string::npos);
  // Listing changes nothing.
  EXPECT_EQ(ReadRecords(TaskListPath()).size(), 2u);
}

TEST_F(CliTest, NamesFromStdinDownloadAndLeaveTheListEmpty) {
  UseServerAsEngine(srv, 2);
  const std::string a = vtest::Mp3Bytes(120000, 5), b = vtest::Mp3Bytes(90000, 6);
  AddSong(srv, "a", a);
  AddSong(srv, "b", b);
  Child c = Spawn({"get", "--no-update-check"}, home.root(), "a\nb;\n");
  EXPECT_EQ(Wait(c), 0) << vtest::ReadFile(c.err);
  EXPECT_EQ(DownloadedFile(home, "a"), a);
  EXPECT_EQ(DownloadedFile(home, "b"), b);
  EXPECT_TRUE(ReadRecords(TaskListPath()).empty());
}

TEST_F(CliTest, FailedSearchEndsWithAnErrorStatus) {
  UseServerAsEngine(srv, 1);
  AddMissingSong(srv, "gone");
  Child c = Spawn({"get", "--no-update-check", "gone"}, home.root());
  EXPECT_EQ(Wait(c), 1);
  EXPECT_NE(vtest::ReadFile(c.out).find("搜索歌曲失败."), std::string::npos);
  // The entry is kept for a later start, marked as given up.
  const std::vector<TaskEntry> recs = ReadRecords(TaskListPath());
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(Text(recs[0].m_szRetries, 11), T(txt::kFailedMark));
}

TEST_F(CliTest, KilledDownloadResumesFromItsBlockFiles) {
  UseServerAsEngine(srv, 2);
  const std::string body = vtest::Mp3Bytes(400000, 9);
  vtest::Faults slow;
  slow.rateBytesPerSec = 40000;
  AddSong(srv, "k", body, slow);
  const std::string b0 = home.temp() + "k.mp3-0.hpt", b1 = home.temp() + "k.mp3-1.hpt";

  Child first = Spawn({"get", "--no-update-check", "k"}, home.root());
  ASSERT_TRUE(WaitUntil([&] { return Size(b0) >= 20000 && Size(b1) >= 20000; }, 20000))
      << vtest::ReadFile(first.err);
  kill(first.pid, SIGKILL);
  EXPECT_EQ(Wait(first), 128 + SIGKILL);
  const long long s0 = Size(b0), s1 = Size(b1);
  std::vector<long long> firstStarts = RangeStarts(srv.requestsFor("/k.mp3"));

  // The job's first request is block 0's, from byte 0; block 1 where its
  // Range line says. The second run asks neither block's stored bytes again.
  ASSERT_EQ(firstStarts.size(), 2u);
  ASSERT_LT(s0 + s1, static_cast<long long>(body.size()));
  // The stored address survived the kill.
  std::vector<TaskEntry> recs = ReadRecords(TaskListPath());
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(Text(recs[0].m_szAddress, 151), srv.url("/k.mp3"));

  AddSong(srv, "k", body);  // full speed now; counters start again
  ASSERT_TRUE(srv.waitAllClosed(10000));
  srv.clearRequests();
  Child second = Spawn({"get", "--no-update-check", "k"}, home.root());
  EXPECT_EQ(Wait(second), 0) << vtest::ReadFile(second.err);
  EXPECT_EQ(DownloadedFile(home, "k"), body);
  EXPECT_EQ(RangeStarts(srv.requestsFor("/k.mp3")),
            (std::vector<long long>{firstStarts[0] + s0, firstStarts[1] + s1}));
  // No search was needed the second time.
  EXPECT_TRUE(srv.requestsFor("/s?k=k").empty());
  EXPECT_TRUE(ReadRecords(TaskListPath()).empty());
}

TEST_F(CliTest, FetchEndsWithTheCauseOfItsFailure) {
  // "接收文件完成" comes after every receive; the cause comes before it.
  vtest::Route page = vtest::Route::File(vtest::Mp3Bytes(30000, 4));
  page.faults.chunked = true;
  page.faults.badChunkAfter = 8192;
  srv.route("/page.mp3", page);
  const std::string out = home.downloads() + "/p.mp3";
  Child c = Spawn({"fetch", srv.url("/page.mp3"), out, "--blocks", "2"}, home.root());
  EXPECT_EQ(Wait(c), 1);
  const std::string err = vtest::ReadFile(c.err);
  const std::string want = "失败: " + GbkToUtf8(T(txt::kSockBadChunk)) + "\n";
  ASSERT_GE(err.size(), want.size()) << err;
  EXPECT_EQ(err.substr(err.size() - want.size()), want) << err;
  EXPECT_EQ(Size(out), -1);
}

// Nobody listens: fetch ends with why, before the step that failed; get
// adds it to the song's line; search --tsv gives it for the link.
TEST_F(CliTest, TheConsoleSaysWhyAConnectionFailed) {
  const std::string port = std::to_string(vtest::UnusedLoopbackPort());
  const std::string url = "http://127.0.0.1:" + port + "/gone.mp3";
  const std::string cause = "无法连接到服务器: 127.0.0.1:" + port + "(";
  UseServerAsEngine(srv, 1);
  srv.route("/s", [&] {
    vtest::Route r = vtest::Route::File("<a href=\"" + url + "\">x</a>");
    r.prefix = true;
    return r;
  }());
  Child fetch = Spawn({"fetch", url, home.downloads() + "/g.mp3", "--blocks", "2"}, home.root());
  EXPECT_EQ(Wait(fetch), 1);
  const std::string err = vtest::ReadFile(fetch.err);
  const std::string failed = "失败: ";
  const size_t last = err.rfind(failed);
  ASSERT_NE(last, std::string::npos) << err;
  EXPECT_EQ(err.compare(last, failed.size() + cause.size(), failed + cause), 0) << err;
  EXPECT_NE(err.find(GbkToUtf8(T(txt::kJobFileInfoError)), last), std::string::npos) << err;

  Child get = Spawn({"get", "--no-update-check", "--no-server", "--link", url, "g"}, home.root());
  EXPECT_EQ(Wait(get), 1);
  EXPECT_NE(vtest::ReadFile(get.out).find(cause), std::string::npos) << vtest::ReadFile(get.out);

  Child search = Spawn({"search", "--tsv", "--no-server", "g"}, home.root());
  Wait(search);
  EXPECT_NE(vtest::ReadFile(search.out).find(cause), std::string::npos) << vtest::ReadFile(search.out);
}

TEST_F(CliTest, SecondCopyOnTheSameHomeIsRefused) {
  UseServerAsEngine(srv, 1);
  vtest::Faults slow;
  slow.rateBytesPerSec = 4000;  // 25 s: still running however slowly the second copy starts
  AddSong(srv, "s", vtest::Mp3Bytes(100000, 2), slow);
  Child first = Spawn({"get", "--no-update-check", "s"}, home.root());
  ASSERT_TRUE(WaitUntil([&] { return !srv.requestsFor("/s.mp3").empty(); }, 20000));
  Child second = Spawn({"get", "--no-update-check", "s"}, home.root() + "/tmp");
  EXPECT_EQ(Wait(second), 3);
  kill(first.pid, SIGTERM);  // an interrupt still saves the list
  EXPECT_EQ(Wait(first), 130);
  EXPECT_EQ(ReadRecords(TaskListPath()).size(), 1u);
}

}  // namespace
