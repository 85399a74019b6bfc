// The scheduler with real tasks against the scripted server: activation,
// the ten-slot limit, stopping and restarting, the whole road of a download
// and the exit sequence.
#include <gtest/gtest.h>

#include <filesystem>
#include "engine/http/HostLimiter.h"
#include "tests/support/SongMaker.h"
#include "task/DownloadTask.h"
#include "tests/app/AppTestUtil.h"

using namespace apptest;

namespace {

class SchedulerTest : public ::testing::Test {
 protected:
  void Start() {
    AppOptions o = Quiet(&port, true);
    o.fnAfterSave = [this] {
      std::lock_guard<std::mutex> lk(saveLock);
      lastSave = vtest::ReadFile(TaskListPath());
      if (exiting) ++savesDuringExit;
    };
    app = std::make_unique<CDownloaderApp>(o);
    app->SetViewName(kViewDowningList);
  }
  bool Gone(const std::string& name) {
    TaskEntry e{};
    return !app->ReadEntry(name, e);
  }
  std::string StateOf(const std::string& name) {
    TaskEntry e{};
    return app->ReadEntry(name, e) ? State(e) : "(none)";
  }
  bool IsActive(const std::string& name) {
    for (const std::string& n : app->GetActiveNames())
      if (n == name) return true;
    return false;
  }

  vtest::TempHome home;
  vtest::ScriptedServer srv;
  RecordingPort port;
  std::mutex saveLock;
  std::string lastSave;
  bool exiting = false;
  int savesDuringExit = 0;
  std::unique_ptr<CDownloaderApp> app;
};

TEST_F(SchedulerTest, ThreeSongsInTwoBlocksLandByteExact) {
  UseServerAsEngine(srv, 2);
  std::map<std::string, std::string> bodies;
  for (int i = 0; i < 3; ++i) {
    std::string name = "song" + std::to_string(i);
    bodies[name] = vtest::Mp3Bytes(150000 + 777 * i, 10 + i);
    AddSong(srv, name, bodies[name]);
  }
  Start();
  ASSERT_TRUE(app->AddTasks("song0;song1;song2"));
  ASSERT_TRUE(WaitUntil([&] { return app->GetTaskCount() == 0; }, 30000)) << app->GetTaskCount();
  for (auto& [name, body] : bodies) {
    EXPECT_EQ(DownloadedFile(home, name), body) << name;
    // Two block requests with byte ranges for each song.
    int ranged = 0;
    for (const vtest::Request& r : srv.requestsFor("/" + name + ".mp3"))
      if (r.method == "GET" && !r.range.empty()) ++ranged;
    EXPECT_GE(ranged, 2) << name;
    EXPECT_EQ(port.DeletedCount(name), 1) << name;
  }
  app->WakeScheduler();  // the scheduler saves after its pass
  ASSERT_TRUE(WaitUntil([&] { return vtest::ReadFile(TaskListPath()).empty(); }));
  EXPECT_EQ(app->GetActiveCount(), 0);
  // No block files are left behind.
  for (auto& f : std::filesystem::directory_iterator(home.temp()))
    EXPECT_NE(f.path().extension(), ".hpt") << f.path();
}

// Songs served so slowly that their tasks hold a slot for the whole test.
void AddSlowSongs(vtest::ScriptedServer& srv, const std::vector<std::string>& names) {
  vtest::Faults crawl;
  crawl.rateBytesPerSec = 2000;
  for (const std::string& n : names) AddSong(srv, n, vtest::Mp3Bytes(400000, 7), crawl);
}

TEST_F(SchedulerTest, EleventhActivationWaitsForAFreeSlot) {
  // Ten tasks on one host: room enough for every task's connection.
  struct Restore {
    ~Restore() { HostLimiter::Instance().SetCeiling(HostLimiter::kDefaultLimit); }
  } restore;
  UseServerAsEngine(srv, 1, "HostConnections=16\n");
  vtest::Faults slow;
  slow.rateBytesPerSec = 40000;
  AddSong(srv, "t0", vtest::Mp3Bytes(80000, 3), slow);  // about two seconds
  std::string names = "t0";
  std::vector<std::string> holders;
  for (int i = 1; i < 10; ++i) {
    holders.push_back("t" + std::to_string(i));
    names += ";t" + std::to_string(i);
  }
  AddSlowSongs(srv, holders);
  const std::string x = vtest::Mp3Bytes(30000, 4);
  AddSong(srv, "x", x);
  Start();
  ASSERT_TRUE(app->AddTasks(names));
  ASSERT_TRUE(WaitUntil([&] { return app->GetActiveCount() == 10; }));
  ASSERT_TRUE(app->AddTasks("x"));
  ASSERT_TRUE(WaitUntil([&] { return port.Count(T(txt::kTooManyActive)) >= 1; }));
  EXPECT_EQ(StateOf("x"), "act");
  EXPECT_FALSE(IsActive("x"));
  // t0 succeeds, frees its slot and wakes the scheduler for x.
  ASSERT_TRUE(WaitUntil([&] { return Gone("t0") && Gone("x"); }, 30000));
  EXPECT_EQ(DownloadedFile(home, "x"), x);
  EXPECT_EQ(app->GetActiveCount(), 9);
  for (const std::string& n : holders) EXPECT_EQ(StateOf(n), "run");
}

// Ten tasks whose search fails must not hold the ten slots for good: each
// gives its slot up, so the queued eleventh starts without anyone waking the
// scheduler by hand. The failed entries stay, marked, until started again.
TEST_F(SchedulerTest, FailedTasksGiveUpTheirSlots) {
  UseServerAsEngine(srv, 1);
  std::string names;
  for (int i = 0; i < 10; ++i) {
    AddMissingSong(srv, "f" + std::to_string(i));
    names += "f" + std::to_string(i) + ";";
  }
  const std::string x = vtest::Mp3Bytes(30000, 5);
  AddSong(srv, "x", x);
  Start();
  ASSERT_TRUE(app->AddTasks(names));
  ASSERT_TRUE(app->AddTasks("x"));
  ASSERT_TRUE(WaitUntil([&] { return Gone("x"); }, 30000));
  EXPECT_EQ(DownloadedFile(home, "x"), x);
  ASSERT_TRUE(WaitUntil([&] { return app->GetActiveCount() == 0; }));
  EXPECT_EQ(app->GetTaskCount(), 10);
  for (int i = 0; i < 10; ++i) {
    TaskEntry e{};
    ASSERT_TRUE(app->ReadEntry("f" + std::to_string(i), e));
    EXPECT_TRUE(IsFailedEntry(e));
    EXPECT_EQ(State(e), "run");
    EXPECT_EQ(Text(e.m_szAddress, sizeof e.m_szAddress), T(txt::kSearchFailed));
  }
  // Started again, a failed task searches again.
  const size_t searches = srv.requestsFor("/s?k=f3").size();
  ASSERT_TRUE(app->AddTasks("f3"));
  EXPECT_TRUE(WaitUntil([&] { return srv.requestsFor("/s?k=f3").size() > searches; }));
  EXPECT_TRUE(WaitUntil([&] { return app->GetActiveCount() == 0; }));
}

// A stopped task shows no speed or time left: not in its row, not in its
// entry (so neither a refresh nor the next start brings them back).
TEST_F(SchedulerTest, StoppingClearsSpeedAndTimeLeft) {
  UseServerAsEngine(srv, 1);
  AddSlowSongs(srv, {"a"});
  Start();
  ASSERT_TRUE(app->AddTasks("a"));
  TaskEntry e{};
  ASSERT_TRUE(WaitUntil([&] { return app->ReadEntry("a", e) && e.m_szSpeed[0] != 0; }, 30000));
  app->StopTask("a");
  app->WaitForReaper();
  ASSERT_TRUE(app->ReadEntry("a", e));
  EXPECT_EQ(Text(e.m_szSpeed, sizeof e.m_szSpeed), "");
  EXPECT_EQ(Text(e.m_szRemaining, sizeof e.m_szRemaining), "");
  EXPECT_NE(Text(e.m_szDone, sizeof e.m_szDone), "");  // what was received still counts
  std::lock_guard<std::mutex> lk(port.m);
  EXPECT_EQ(port.cells["a"][6], "");
  EXPECT_EQ(port.cells["a"][5], "");
}

TEST_F(SchedulerTest, StoppedTaskKeepsRunStateAndIsNotRestartedByAWake) {
  UseServerAsEngine(srv, 1);
  AddSlowSongs(srv, {"a", "b"});
  Start();
  ASSERT_TRUE(app->AddTasks("a"));
  ASSERT_TRUE(WaitUntil([&] { return IsActive("a") && StateOf("a") == "run"; }));
  app->StopTask("a");
  app->WaitForReaper();
  EXPECT_FALSE(IsActive("a"));
  EXPECT_EQ(StateOf("a"), "run");
  ASSERT_TRUE(app->AddTasks("b"));
  ASSERT_TRUE(WaitUntil([&] { return IsActive("b"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(IsActive("a"));
  // Starting it again queues and activates it.
  ASSERT_TRUE(app->AddTasks("a"));
  EXPECT_TRUE(WaitUntil([&] { return IsActive("a"); }));
}

TEST_F(SchedulerTest, AddingAnActiveNameRestartsItsTask) {
  UseServerAsEngine(srv, 1);
  AddSlowSongs(srv, {"a"});
  Start();
  ASSERT_TRUE(app->AddTasks("a"));
  auto gets = [&] {
    size_t n = 0;
    for (const vtest::Request& r : srv.requestsFor("/a.mp3")) n += r.method == "GET";
    return n;
  };
  ASSERT_TRUE(WaitUntil([&] { return gets() > 0; }));
  const size_t before = gets();
  ASSERT_TRUE(app->AddTasks("a"));
  // Same slot, a fresh run: the download is asked for again.
  EXPECT_TRUE(WaitUntil([&] { return gets() > before; }));
  EXPECT_EQ(app->GetActiveCount(), 1);
  EXPECT_TRUE(WaitUntil([&] { return StateOf("a") == "run"; }));
}

TEST_F(SchedulerTest, LoadedEntriesWaitUntilStarted) {
  UseServerAsEngine(srv, 1);
  AddMissingSong(srv, "a");
  ASSERT_TRUE(WriteRecords(TaskListPath(), {MakeEntry("a", "", "")}));
  Start();
  app->WakeScheduler();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(app->GetActiveCount(), 0);
  EXPECT_EQ(StateOf("a"), "stop");
  EXPECT_TRUE(srv.requests().empty());
}

TEST_F(SchedulerTest, ExitSavesOnceBeforeTasksGoAndNothingAfter) {
  // Every task downloads at once: no task waits for the host's room.
  struct Restore {
    ~Restore() { HostLimiter::Instance().SetCeiling(HostLimiter::kDefaultLimit); }
  } restore;
  UseServerAsEngine(srv, 2, "HostConnections=16\n");
  vtest::Faults slow;
  slow.rateBytesPerSec = 30000;
  std::string names;
  for (int i = 0; i < 4; ++i) {
    std::string n = "e" + std::to_string(i);
    AddSong(srv, n, vtest::Mp3Bytes(400000, 20 + i), slow);
    names += n + ";";
  }
  Start();
  ASSERT_TRUE(app->AddTasks(names));
  // Wait until every task is downloading and has stored its address.
  ASSERT_TRUE(WaitUntil([&] {
    for (int i = 0; i < 4; ++i) {
      TaskEntry e{};
      if (!app->ReadEntry("e" + std::to_string(i), e) || Text(e.m_szDone, 11).empty()) return false;
    }
    return true;
  }, 20000));
  {
    std::lock_guard<std::mutex> lk(saveLock);
    exiting = true;
  }
  app->ExitSequence();
  const std::string after = vtest::ReadFile(TaskListPath());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard<std::mutex> lk(saveLock);
    EXPECT_EQ(savesDuringExit, 1);
    EXPECT_EQ(after, lastSave);
  }
  EXPECT_EQ(vtest::ReadFile(TaskListPath()), after);
  std::vector<TaskEntry> recs = ReadRecords(TaskListPath());
  ASSERT_EQ(recs.size(), 4u);
  for (const TaskEntry& r : recs) {
    EXPECT_EQ(Text(r.m_szAddress, 151).rfind("http://", 0), 0u) << Name(r);
    EXPECT_FALSE(Text(r.m_szDone, 11).empty()) << Name(r);
  }
  EXPECT_EQ(app->GetTaskCount(), 0);
  EXPECT_EQ(app->GetActiveCount(), 0);
  // Saving is shut out for good, whoever asks.
  app->SaveTaskList();
  EXPECT_EQ(vtest::ReadFile(TaskListPath()), after);
  // Block files stay for the next start.
  int blocks = 0;
  for (auto& f : std::filesystem::directory_iterator(home.temp())) blocks += f.path().extension() == ".hpt";
  EXPECT_GE(blocks, 4);
}

}  // namespace
