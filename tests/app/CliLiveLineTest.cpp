// The console's live line is redrawn twice a second for every song, so it
// must not copy and sort candidate lists under the application's lock: it
// reads the running job's blocks and the chosen link's audio alone.
#include <gtest/gtest.h>

#include "cli/ConsoleScreen.h"
#include "cli/LiveLine.h"
#include "tests/app/AppTestUtil.h"
#include "tests/support/SongMaker.h"

using namespace apptest;

namespace {

TEST(CliLiveLineTest, RedrawsReadBlocksAndBitrateWithoutCopyingCandidates) {
  vtest::TempHome home;
  vtest::ScriptedServer srv;
  RecordingPort port;
  UseServerAsEngine(srv, 2);
  vtest::Faults slow;
  slow.rateBytesPerSec = 15000;
  AddSong(srv, "live", vtest::Mp3Bytes(150000, 4), slow);
  CDownloaderApp app(Quiet(&port, true));
  app.SetViewName(kViewDowningList);
  ASSERT_TRUE(app.AddTasks("live"));

  ConsoleRow row;
  row.cells[1] = "293KB";
  row.cells[3] = "10%";
  std::string line;
  ASSERT_TRUE(WaitUntil([&] {
    line = LiveLine::Fitted(app, "live", row, "", true, 80);
    return line.find("kbps") != std::string::npos && line.find("]") != std::string::npos;
  }, 30000)) << line;

  const int before = app.CandidateListCopies();
  for (int i = 0; i < 5; ++i) {
    line = LiveLine::Fitted(app, "live", row, T("正在下载"), true, 80);
    EXPECT_NE(line.find("kbps"), std::string::npos) << line;
    EXPECT_NE(line.find("["), std::string::npos) << line;
    EXPECT_LE(ConsoleScreen::DisplayWidth(line), 79) << line;
    EXPECT_NE(LiveLine::Plain(app, "live", row, T("正在下载")).find("kbps"), std::string::npos);
  }
  EXPECT_EQ(app.CandidateListCopies(), before);
  // The details view does copy, and the count sees it.
  app.GetTaskDetails("live");
  EXPECT_EQ(app.CandidateListCopies(), before + 1);

  // Finished: the bars go, the bitrate of the link it came from stays.
  TaskEntry entry;
  ASSERT_TRUE(WaitUntil([&] { return !app.ReadEntry("live", entry); }, 30000));
  line = LiveLine::Fitted(app, "live", row, T("完成"), false, 80);
  EXPECT_EQ(line.find("]"), std::string::npos) << line;
  EXPECT_NE(line.find("kbps"), std::string::npos) << line;
  EXPECT_EQ(app.CandidateListCopies(), before + 2) << "only the view and the ending copied";
  // A name the table never held: no bars, no bitrate.
  const std::string stranger = LiveLine::Fitted(app, "none", row, "", true, 80);
  EXPECT_EQ(stranger.find("kbps"), std::string::npos) << stranger;
  EXPECT_EQ(stranger.find("["), std::string::npos) << stranger;
}

}  // namespace
