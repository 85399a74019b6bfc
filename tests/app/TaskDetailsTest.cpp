// What the application keeps of each name's candidates, and restarting a
// task on a link the user picked.
#include <gtest/gtest.h>

#include "tests/support/SongMaker.h"
#include "tests/app/AppTestUtil.h"

using namespace apptest;

namespace {

class TaskDetailsTest : public ::testing::Test {
 protected:
  void Start() {
    app = std::make_unique<CDownloaderApp>(Quiet(&port, true));
    app->SetViewName(kViewDowningList);
  }
  // The name's result page lists these paths of srv.
  void Page(const std::string& name, const std::vector<std::string>& paths) {
    std::string html = "<html>";
    for (const auto& p : paths) html += "<a href=\"" + srv.url(p) + "\">x</a>";
    vtest::Route page = vtest::Route::File(html + "</html>");
    page.contentType = "text/html";
    srv.route("/s?k=" + name, page);
  }
  bool ChosenIs(const std::string& name, const std::string& path, ChosenReason why) {
    const TaskDetails d = app->GetTaskDetails(name);
    return !d.m_candidates.empty() && d.m_candidates[0].m_strAddress == srv.url(path) &&
           d.m_candidates[0].m_eVerdict == CandidateVerdict::kChosen && d.m_eReason == why;
  }

  vtest::TempHome home;
  vtest::ScriptedServer srv;
  RecordingPort port;
  std::unique_ptr<CDownloaderApp> app;
};

TEST_F(TaskDetailsTest, PickingAnotherLinkRestartsTheTaskOnItAndTheFileIsExact) {
  UseServerAsEngine(srv, 2);
  const std::string first = vtest::Mp3Bytes(200000, 1);
  const std::string second = vtest::Mp3Bytes(150001, 2);
  vtest::Route a = vtest::Route::File(first);
  a.faults.rateBytesPerSec = 20000;  // still running when the user picks
  vtest::Route b = vtest::Route::File(second);
  b.faults.rateBytesPerSec = 40000;  // slow enough to be seen chosen
  srv.route("/a.mp3", a);
  srv.route("/b.mp3", b);
  Page("pick", {"/a.mp3", "/b.mp3"});
  Start();

  ASSERT_TRUE(app->AddTasks("pick"));
  ASSERT_TRUE(WaitUntil([&] { return ChosenIs("pick", "/a.mp3", ChosenReason::kNoSpeedCheck); }, 30000));
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& r : srv.requestsFor("/a.mp3"))
      if (!r.range.empty()) return true;
    return false;
  }, 30000));

  EXPECT_EQ(app->UseLink("pick", srv.url("/b.mp3")), -1);
  TaskEntry e{};
  ASSERT_TRUE(app->ReadEntry("pick", e));
  EXPECT_EQ(Text(e.m_szAddress, sizeof e.m_szAddress), srv.url("/b.mp3"));
  ASSERT_TRUE(WaitUntil([&] { return ChosenIs("pick", "/b.mp3", ChosenReason::kGivenLink); }, 30000));
  // The first link stays in the list for another change of mind.
  const TaskDetails d = app->GetTaskDetails("pick");
  ASSERT_EQ(d.m_candidates.size(), 2u);
  EXPECT_EQ(d.m_candidates[1].m_strAddress, srv.url("/a.mp3"));
  EXPECT_EQ(VerdictText(d.m_candidates[1]), T("可用"));

  ASSERT_TRUE(WaitUntil([&] { return app->GetTaskCount() == 0; }, 60000));
  EXPECT_EQ(DownloadedFile(home, "pick"), second);
  EXPECT_EQ(srv.requestsFor("/s?k=pick").size(), 1u);  // the pick searched nothing
  // The entry is gone; what the views show is how it ended: the song's
  // path, and the candidates as they stood.
  const TaskDetails done = app->GetTaskDetails("pick");
  EXPECT_FALSE(done.m_bHasEntry);
  EXPECT_TRUE(done.m_bEnded && done.m_bFinished);
  EXPECT_EQ(done.m_strEnding, home.downloads() + "/pick.mp3");
  ASSERT_EQ(done.m_candidates.size(), 2u);
  EXPECT_EQ(done.m_candidates[0].m_strAddress, srv.url("/b.mp3"));
  // A new task of the name starts with a clean slate.
  app->AddTasks("pick");
  EXPECT_FALSE(app->GetTaskDetails("pick").m_bEnded);
}

TEST_F(TaskDetailsTest, TheBlockSnapshotMatchesTheBlockFiles) {
  UseServerAsEngine(srv, 2);
  const std::string body = vtest::Mp3Bytes(300000, 3);
  vtest::Faults slow;
  slow.rateBytesPerSec = 15000;
  AddSong(srv, "blocks", body, slow);
  Start();
  ASSERT_TRUE(app->AddTasks("blocks"));
  TaskDetails d;
  ASSERT_TRUE(WaitUntil([&] {
    d = app->GetTaskDetails("blocks");
    if (d.m_blocks.size() != 2u) return false;
    for (const BlockSnapshot& b : d.m_blocks)
      if (b.m_nBytes == 0 || !b.m_nSpeed) return false;
    return true;
  }, 30000));
  // The blocks cover the file without gap or overlap.
  EXPECT_EQ(d.m_blocks[0].m_nFirst, 0);
  EXPECT_EQ(d.m_blocks[0].m_nLast + 1, d.m_blocks[1].m_nFirst);
  EXPECT_EQ(d.m_blocks[1].m_nLast, static_cast<long long>(body.size()) - 1);
  for (const BlockSnapshot& b : d.m_blocks) {
    const std::string file = home.temp() + "blocks.mp3-" + std::to_string(b.m_nBlock) + ".hpt";
    const std::string bytes = vtest::ReadFile(file);
    const long long held = static_cast<long long>(bytes.size());
    // The file holds the start of its range and nothing else; the figure
    // runs ahead of it by at most the bytes the socket has not written yet
    // (its 64 KiB buffer) and trails by what arrived since the snapshot.
    EXPECT_LE(held, b.m_nLast - b.m_nFirst + 1) << file;
    EXPECT_LE(b.m_nBytes - held, 64 * 1024) << file;
    EXPECT_LE(held - b.m_nBytes, 15000 * 4) << file;
    EXPECT_TRUE(bytes.compare(0, bytes.size(), body, static_cast<size_t>(b.m_nFirst), bytes.size()) == 0)
        << "block " << b.m_nBlock << " holds other bytes";
    EXPECT_GT(*b.m_nSpeed, 0);
  }
  app->StopTask("blocks");
  EXPECT_TRUE(app->GetTaskDetails("blocks").m_blocks.empty());  // no job, no blocks
}

TEST_F(TaskDetailsTest, AFailedOrStoppedTaskKeepsItsCandidatesUntilRemoved) {
  vtest::WriteFile(Ini(), "[FileType]\nCurSel=.MP3\n[.MP3]\nEnginee0_head=" + srv.url("/s?k=") +
                              "\n[Size]\nMinSize=1\nBlocks=1\n[Speed]\nCheckSpeed=0\nConTimeOut=3\n");
  Page("bad", {"/gone.mp3", "/empty.mp3"});
  srv.route("/empty.mp3", vtest::Route::File(""));
  Start();
  ASSERT_TRUE(app->AddTasks("bad"));
  ASSERT_TRUE(WaitUntil([&] {
    TaskEntry e{};
    return app->ReadEntry("bad", e) && Text(e.m_szAddress, sizeof e.m_szAddress) == T("探测下载速度失败.");
  }, 30000));
  app->StopTask("bad");
  TaskDetails d = app->GetTaskDetails("bad");
  EXPECT_TRUE(d.m_bHasEntry);
  EXPECT_FALSE(d.m_bActive);
  ASSERT_EQ(d.m_candidates.size(), 2u);
  EXPECT_EQ(VerdictText(d.m_candidates[0]), T("探测失败"));
  EXPECT_EQ(VerdictText(d.m_candidates[1]), T("大小不在限制范围内"));
  EXPECT_EQ(d.m_eReason, ChosenReason::kNone);

  app->RemoveTask("bad");
  EXPECT_TRUE(app->GetTaskDetails("bad").m_candidates.empty());
  // A name added again starts with nothing until its search.
  app->AddTask("bad");
  EXPECT_TRUE(app->GetTaskDetails("bad").m_candidates.empty());
}

TEST_F(TaskDetailsTest, UseLinkAddsANewNameAndRefusesAddressesTheEntryCannotHold) {
  UseServerAsEngine(srv, 1);
  app = std::make_unique<CDownloaderApp>(Quiet(&port, false));
  EXPECT_EQ(app->UseLink("new", "ftp://h/a.mp3"), -3);
  EXPECT_EQ(app->UseLink("new", "http://h/" + std::string(150, 'x') + ".mp3"), -3);
  EXPECT_EQ(app->GetTaskCount(), 0);
  EXPECT_EQ(app->UseLink("new", "http://h/a.mp3"), 0);
  TaskEntry e{};
  ASSERT_TRUE(app->ReadEntry("new", e));
  EXPECT_EQ(Text(e.m_szAddress, sizeof e.m_szAddress), "http://h/a.mp3");
  EXPECT_EQ(State(e), "act");
  // Saved at once: the address survives a crash before the download.
  const std::vector<TaskEntry> saved = ReadRecords(TaskListPath());
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(Text(saved[0].m_szAddress, sizeof saved[0].m_szAddress), "http://h/a.mp3");
}

}  // namespace
