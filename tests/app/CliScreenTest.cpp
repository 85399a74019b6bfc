// The console on a terminal as a user sees it: a real 80-column terminal
// (a private tmux server) runs a download, and its screen is read back. The
// live line fits, is redrawn in place after the terminal narrows, and the
// run ends by saying where the song went.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "cli/ConsoleScreen.h"
#include "tests/app/AppTestUtil.h"
#include "tests/app/CliTestUtil.h"
#include "tests/support/SongMaker.h"

using namespace apptest;

namespace {

const char kName[] = "一首名字非常非常长的中文歌曲名称来自很久以前";  // 22 wide characters

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

class CliScreenTest : public ::testing::Test {
 protected:
  // The server is killed whatever the test's fate; its name is this
  // process's own, so no other test's terminal is touched.
  void TearDown() override {
    if (started) Tmux("kill-server");
  }
  std::string Tmux(const std::string& args) {
    const std::string cmd = "tmux -u -L " + Quote(server) + " -f /dev/null " + args + " 2>/dev/null";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[4096];
      for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
      pclose(p);
    }
    return out;
  }
  // The visible rows, one a line, as the terminal holds them.
  std::string Screen() { return Tmux("capture-pane -p -t run"); }
  // The row holding the task's line; "" when there is none or several.
  std::string TaskRow(const std::string& screen) {
    std::string found;
    int rows = 0;
    size_t start = 0;
    while (start < screen.size()) {
      size_t end = screen.find('\n', start);
      if (end == std::string::npos) end = screen.size();
      const std::string row = screen.substr(start, end - start);
      if (row.rfind("一首名", 0) == 0) {
        found = row;
        ++rows;
      }
      start = end + 1;
    }
    return rows == 1 ? found : std::string();
  }
  vtest::TempHome home;
  vtest::ScriptedServer srv;
  const std::string server = "virelomp3-test-" + std::to_string(getpid());
  bool started = false;
};

TEST(ConsoleScreenTest, WidthsCountWideCharactersTwice) {
  EXPECT_EQ(ConsoleScreen::DisplayWidth("abc"), 3);
  EXPECT_EQ(ConsoleScreen::DisplayWidth("歌名"), 4);
  EXPECT_EQ(ConsoleScreen::DisplayWidth("歌 a…[▁█]"), 9);
  EXPECT_EQ(ConsoleScreen::DisplayWidth("\xFF" "a"), 2);  // a bad byte is one column
  EXPECT_EQ(ConsoleScreen::Fit("歌名歌名", 8), "歌名歌名");
  EXPECT_EQ(ConsoleScreen::Fit("歌名歌名", 7), "歌名歌…");
  // A wide character never straddles the cut: one column left over.
  EXPECT_EQ(ConsoleScreen::Fit("歌名歌名", 6), "歌名…");
  EXPECT_EQ(ConsoleScreen::Fit("abc", 0), "");
  EXPECT_EQ(ConsoleScreen::Pad("歌名歌名", 6), "歌名… ");
  EXPECT_EQ(ConsoleScreen::Pad("ab", 4), "ab  ");
}

TEST(ConsoleScreenTest, FrameGoesBackOverTheOldOneAsTheTerminalRewrapsIt) {
  ConsoleScreen s;
  const std::string first = s.Frame({"0123456789012345678901234567890", "歌"}, 40);
  EXPECT_EQ(first, "\x1b[J0123456789012345678901234567890\n歌\n");
  EXPECT_EQ(s.Frame({"a", "b"}, 40), "\r\x1b[2A\x1b[J" "a\nb\n");
  s.Frame({"0123456789012345678901234567890", "b"}, 40);
  // Narrowed to 20 columns: the 31-column line now takes two rows.
  const std::string narrow = s.Frame({"0123456789012345678901234567890", "b"}, 20);
  EXPECT_EQ(narrow, "\r\x1b[3A\x1b[J012345678901234567\xE2\x80\xA6\nb\n");
}

TEST_F(CliScreenTest, LiveLineFitsAnEightyColumnTerminalAndFollowsAResize) {
  if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  UseServerAsEngine(srv, 2);
  vtest::Faults slow;
  slow.rateBytesPerSec = 40000;
  const std::string song = vtest::Mp3Bytes(600000, 11);
  AddSong(srv, "a", song, slow);
  // Bounded even when the test is killed before its teardown: the run by
  // timeout, the shell kept for reading the screen by its sleep.
  const std::string cmd = "timeout 90 env VIRELOMP3_HOME=" + Quote(home.home()) + " TMPDIR=" + Quote(home.temp()) + " " +
                          Quote(VIRELOMP3_CLI) + " get --no-update-check --link " + Quote(srv.url("/a.mp3")) +
                          " " + Quote(kName);
  // The shell stays after the run, so the screen stays as the run left it.
  const std::string status = home.root() + "/status";
  const std::string shell = cmd + "; echo $? > " + Quote(status) + "; sleep 60";
  started = true;
  Tmux("new-session -d -s run -x 80 -y 24 " + Quote(shell));

  // While it runs: one row, whole (the block bars are on it), the name cut.
  std::string row;
  ASSERT_TRUE(WaitUntil([&] {
    row = TaskRow(Screen());
    return row.find("%") != std::string::npos && row.find("]") != std::string::npos;
  }, 30000)) << Screen();
  EXPECT_LE(ConsoleScreen::DisplayWidth(row), 79) << row;
  EXPECT_NE(row.find("…"), std::string::npos) << row;

  // Narrowed while running: redrawn to the new width, never twice.
  Tmux("resize-window -t run -x 60 -y 24");
  ASSERT_TRUE(WaitUntil([&] {
    const std::string screen = Screen();
    row = TaskRow(screen);
    return !row.empty() && ConsoleScreen::DisplayWidth(row) <= 59 && CountOf(screen, "一首名") == 1 &&
           (row.find("]") != std::string::npos || row.find("完成") != std::string::npos) &&
           row.find("…") != std::string::npos;
  }, 20000)) << Screen();

  ASSERT_TRUE(WaitUntil([&] { return !vtest::ReadFile(status).empty(); }, 60000));
  EXPECT_EQ(vtest::ReadFile(status), "0\n");
  const std::string end = Tmux("capture-pane -p -J -t run");
  EXPECT_EQ(CountOf(end, "一首名"), 2) << end;  // the finished line, and where it went
  EXPECT_NE(end.find("完成"), std::string::npos) << end;
  const std::string saved = home.downloads() + "/" + kName + ".mp3";
  EXPECT_NE(end.find("已保存: " + saved), std::string::npos) << end;
  EXPECT_EQ(vtest::ReadFile(saved), song);
}

}  // namespace
