// virelomp3-cli search as a child process: the ranked TSV lines, exit codes,
// and that it writes nothing beside a running copy.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include "cli/BlockBars.h"
#include "cli/TaskLine.h"
#include "tests/support/SongMaker.h"
#include "tests/app/AppTestUtil.h"

using namespace apptest;

namespace {

class CliSearchTest : public ::testing::Test {
 protected:
  // Runs the search with home's environment; the exit status.
  int Search(const std::string& args) {
    const std::string cmd = std::string(VIRELOMP3_CLI) + " search " + args + " > " + home.root() + "/out 2> " +
                            home.root() + "/err";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::vector<std::vector<std::string>> Lines() {
    std::vector<std::vector<std::string>> out;
    std::istringstream in(vtest::ReadFile(home.root() + "/out"));
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> fields;
      size_t start = 0;
      for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
      fields.push_back(line.substr(start));
      out.push_back(fields);
    }
    return out;
  }
  void Page(const std::string& key, const std::vector<std::string>& paths) {
    std::string html = "<html>";
    for (const auto& p : paths) html += "<a href=\"" + srv.url(p) + "\">x</a>";
    vtest::Route page = vtest::Route::File(html + "</html>");
    page.contentType = "text/html";
    srv.route("/s?k=" + key, page);
  }
  void Settings(bool checkSpeed) {
    vtest::WriteFile(Ini(), "[FileType]\nCurSel=.MP3\n[.MP3]\nEnginee0_head=" + srv.url("/s?k=") +
                                "\n[Size]\nMinSize=1\nMaxSize=2\n[Speed]\nCheckSpeed=" + (checkSpeed ? "1" : "0") +
                                "\nConTimeOut=3\nGetTimeOut=10\n");
  }

  vtest::TempHome home;
  vtest::ScriptedServer srv;
};

TEST_F(CliSearchTest, TsvListsTheCandidatesRankedWithTheirFigures) {
  Settings(true);
  // A host that says nothing of ranges.
  vtest::Route slow = vtest::Route::Raw("HTTP/1.1 200 OK\r\nContent-Length: 1100000\r\n\r\n" + std::string(1100000, 's'));
  slow.faults.headerDelayMs = 1000;
  vtest::Route fast = vtest::Route::File(vtest::Mp3Bytes(1200000, 2));
  fast.contentType = "audio/mpeg";
  fast.extraHeaders = "Accept-Ranges: bytes\r\n";
  vtest::Route page = vtest::Route::File(std::string(1100000, '<'));
  page.contentType = "text/html";
  srv.route("/slow.mp3", slow);
  srv.route("/fast.mp3", fast);
  srv.route("/page.mp3", page);
  srv.route("/small.mp3", vtest::Route::File("tiny"));
  Page("abc", {"/small.mp3", "/slow.mp3", "/page.mp3", "/fast.mp3"});

  ASSERT_EQ(Search("--tsv abc"), 0) << vtest::ReadFile(home.root() + "/err");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  for (const auto& f : lines) ASSERT_EQ(f.size(), 10u);
  EXPECT_EQ(lines[0][0], "1");
  EXPECT_EQ(lines[0][1], "1");
  EXPECT_EQ(lines[0][2], srv.url("/fast.mp3"));
  EXPECT_EQ(lines[0][3], "1200000");
  EXPECT_FALSE(lines[0][4].empty());
  EXPECT_EQ(lines[0][5], "yes");
  EXPECT_EQ(lines[0][6], "audio/mpeg");
  EXPECT_EQ(lines[0][7], "已选用");
  EXPECT_EQ(lines[0][8], "128kbps");  // bitrate and length come last
  EXPECT_EQ(lines[0][9], "1:15");
  EXPECT_EQ(lines[1][0], "0");
  EXPECT_EQ(lines[1][2], srv.url("/slow.mp3"));
  EXPECT_GE(std::stoi(lines[1][4]), 1000);
  EXPECT_EQ(lines[1][5], "no");
  EXPECT_EQ(lines[1][7], "可用");
  EXPECT_EQ(lines[1][8], "");  // no frame in its first bytes
  EXPECT_EQ(lines[1][9], "");
  EXPECT_EQ(lines[2][2], srv.url("/small.mp3"));
  EXPECT_EQ(lines[2][3], "4");
  EXPECT_EQ(lines[2][7], "大小不在限制范围内");
  EXPECT_EQ(lines[3][1], "4");
  EXPECT_EQ(lines[3][3], "");  // the page's length is of no interest
  EXPECT_EQ(lines[3][4], "");
  EXPECT_EQ(lines[3][6], "text/html");
  EXPECT_EQ(lines[3][7], "不是歌曲文件");
  // Nothing downloaded, nothing written.
  for (const auto& r : srv.requests()) EXPECT_TRUE(r.range.empty()) << r.raw;
  EXPECT_FALSE(std::filesystem::exists(TaskListPath()));
}

TEST_F(CliSearchTest, ExitCodesForNothingUsableAndForUsage) {
  Settings(false);
  srv.route("/small.mp3", vtest::Route::File("tiny"));
  Page("none", {"/small.mp3", "/gone.mp3"});
  EXPECT_EQ(Search("--tsv none"), 1);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0][7], "大小不在限制范围内");
  EXPECT_EQ(lines[1][7], "探测失败");

  srv.route("/s?k=empty", vtest::Route::File("<html>nothing</html>"));
  EXPECT_EQ(Search("--tsv empty"), 1);
  EXPECT_TRUE(vtest::ReadFile(home.root() + "/out").empty());

  EXPECT_EQ(Search("--tsv"), 2);
  EXPECT_EQ(Search("--bogus abc"), 2);
  EXPECT_EQ(Search("--home " + home.root() + "/no-such-dir abc"), 2);
  EXPECT_NE(vtest::ReadFile(home.root() + "/err").find("程序目录不存在"), std::string::npos);
}

TEST_F(CliSearchTest, GetWithALinkDownloadsFromItWithoutSearching) {
  Settings(false);
  const std::string body = vtest::Mp3Bytes(1100000, 9);
  srv.route("/given.mp3", vtest::Route::File(body));
  const std::string get = std::string(VIRELOMP3_CLI) + " get --no-update-check ";
  const std::string out = " > " + home.root() + "/out 2> " + home.root() + "/err";
  int status = std::system((get + "--link " + srv.url("/given.mp3") + " linked" + out).c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << vtest::ReadFile(home.root() + "/err");
  EXPECT_EQ(DownloadedFile(home, "linked"), body);
  EXPECT_TRUE(srv.requestsFor("/s?k=linked").empty());

  // One name only, and an address the task could use.
  status = std::system((get + "--link " + srv.url("/given.mp3") + " 'a;b'" + out).c_str());
  EXPECT_EQ(WEXITSTATUS(status), 2);
  status = std::system((get + "--link ftp://h/x.mp3 other" + out).c_str());
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(vtest::ReadFile(home.root() + "/err").find("无法使用的链接: ftp://h/x.mp3"), std::string::npos);
  EXPECT_TRUE(RecordNames(TaskListPath()).empty());
}

TEST(BlockBarsTest, OneCharacterPerBlockFullOnlyWhenDone) {
  auto block = [](long long first, long long last, long long bytes) {
    BlockSnapshot b;
    b.m_nFirst = first;
    b.m_nLast = last;
    b.m_nBytes = bytes;
    return b;
  };
  EXPECT_EQ(BlockBars({}), "");
  EXPECT_EQ(BlockBars({block(0, 799, 0), block(800, 1599, 400), block(1600, 2399, 799), block(2400, 3199, 800)}),
            "[·▄▇█]");
  EXPECT_EQ(BlockBars({block(0, -1, 0)}), "[·]");  // an empty range draws empty
}

// Terminal columns of a UTF-8 line: Chinese characters take two.
size_t Columns(const std::string& utf8) {
  size_t cols = 0;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    cols += len == 3 && c >= 0xE3 ? 2 : 1;  // CJK from U+3000 on; bars and marks are narrow
    i += len;
  }
  return cols;
}

TEST(TaskLineTest, FitsEightyColumnsWithItsBitrate) {
  const std::string longName = T("一首名字很长很长很长很长的歌曲") + "(live)";
  const std::string bars = "[▁▂▃▄█]";
  const TaskLineCells cells[] = {
      {longName, "12,345KB", "99%", "1234KB/S", "12m:5s", T("VBR 245kbps"), T("正在测试第12个连接的速度...")},
      {"a", "", "", "", "", "", ""},
      {"song", "3,456KB", "100%", "", "", "320kbps", "http://127.0.0.1:18317/songs/" + std::string(140, 'x') + ".mp3"},
  };
  for (const TaskLineCells& c : cells) {
    for (const std::string& b : {std::string(), bars}) {
      const std::string line = TaskLine(c, b, b.empty() ? 0 : 7);
      EXPECT_LE(Columns(line), 80u) << line;
      EXPECT_NE(line.find(GbkToUtf8(c.bitrate)), std::string::npos) << line;
      if (!b.empty()) {
        EXPECT_NE(line.find(b), std::string::npos) << "the bars fit beside a cut status: " << line;
      }
    }
  }
  // The bitrate sits in its own column, after the time left.
  const std::string line = TaskLine(cells[0]);
  EXPECT_EQ(line.find("VBR 245kbps"), line.find("12m:5s") + 8);
}

}  // namespace
