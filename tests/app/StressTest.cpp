// One thread adds, stops and removes names while the scheduler activates
// them and their tasks download from the scripted server. Meant for the
// ThreadSanitizer build as much as for the others: every run is bounded.
#include <gtest/gtest.h>

#include <random>
#include "tests/support/SongMaker.h"
#include "tests/app/AppTestUtil.h"

using namespace apptest;

namespace {

TEST(StressTest, CommandsRaceTheSchedulerAndTheDownloads) {
  vtest::TempHome home;
  vtest::ScriptedServer srv;
  RecordingPort port;
  UseServerAsEngine(srv, 2);
  constexpr int kNames = 14;  // more than the active slots
  std::vector<std::string> names, bodies;
  for (int i = 0; i < kNames; ++i) {
    names.push_back("s" + std::to_string(i));
    bodies.push_back(vtest::Mp3Bytes(20000 + 1000 * i, 100 + i));
    vtest::Faults f;
    if (i % 3 == 0) f.rateBytesPerSec = 200000;  // some stay a little longer
    AddSong(srv, names.back(), bodies.back(), f);
  }
  AppOptions o = Quiet(&port, true);
  CDownloaderApp app(o);
  app.SetViewName(kViewDowningList);

  std::thread driver([&] {
    std::mt19937 rng(7);
    for (int op = 0; op < 400; ++op) {
      const std::string& a = names[rng() % kNames];
      const std::string& b = names[rng() % kNames];
      switch (rng() % 6) {
        case 0:
        case 1: app.AddTasks(a); break;
        case 2: app.AddTasks(a + ";" + b); break;
        case 3: app.StopTask(a); break;
        case 4: app.RemoveTask(a); break;
        case 5: app.SetViewName(rng() % 2 ? kViewSongList : kViewDowningList); break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    }
  });
  // Meanwhile, readers of the table as the list view would be.
  for (int i = 0; i < 200; ++i) {
    std::vector<SlotEntry> slots = app.GetSlotEntries();
    EXPECT_LE(slots.size(), 100u);
    EXPECT_LE(app.GetActiveCount(), 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  driver.join();

  // Start everything still in the table, as the toolbar's start-all does;
  // if a wake were lost a queued entry would stay behind.
  app.SetViewName(kViewDowningList);
  std::vector<std::string> left = app.GetTaskNames();
  for (size_t i = 0; i < left.size(); i += 10) {
    std::string text;
    for (size_t j = i; j < left.size() && j < i + 10; ++j) text += left[j] + ";";
    app.AddTasks(text);
  }
  EXPECT_TRUE(WaitUntil([&] { return app.GetTaskCount() == 0; }, 60000))
      << app.GetTaskCount() << " entries left, " << app.GetActiveCount() << " active";
  app.WaitForReaper();
  for (int i = 0; i < kNames; ++i) {
    std::string got = DownloadedFile(home, names[i]);
    if (!got.empty()) {
      EXPECT_EQ(got, bodies[i]) << names[i];
    }
  }
  app.ExitSequence();
  EXPECT_TRUE(ReadRecords(TaskListPath()).empty());
  // The only message a busy table may show is the slot limit.
  for (const std::string& m : port.Messages()) EXPECT_EQ(m, T(txt::kTooManyActive));
}

TEST(StressTest, ManyStartsAndExitsOfTheApplication) {
  vtest::TempHome home;
  vtest::ScriptedServer srv;
  UseServerAsEngine(srv, 2);
  AddSong(srv, "a", vtest::Mp3Bytes(50000, 1));
  AddMissingSong(srv, "b");
  for (int round = 0; round < 20; ++round) {
    RecordingPort port;
    CDownloaderApp app(Quiet(&port, true));
    ASSERT_FALSE(app.IsRefused()) << round;
    app.AddTasks("a;b");
    if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(round));
    app.ExitSequence();
  }
}

}  // namespace
