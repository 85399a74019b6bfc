// The scheduler's passes against a scripted table: what is activated in
// which order, when a pass ends, when it saves, and how it stops.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/TaskScheduler.h"
#include "tests/app/AppTestUtil.h"

using apptest::WaitUntil;

namespace {

// Places of queued ("q") and other entries; a number of free slots.
class ScriptedHost : public ISchedulerHost {
 public:
  void OnFirstPass() override { Log("first"); }
  Next NextQueued(int from, int& at, std::string& name) override {
    std::lock_guard<std::mutex> lk(m);
    if (closing) return Next::kClosing;
    for (int i = from; i < static_cast<int>(places.size()); ++i) {
      if (places[i].second == "q") {
        at = i;
        name = places[i].first;
        return Next::kFound;
      }
    }
    return Next::kNone;
  }
  bool ActivateQueued(const std::string& name) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lk(m);
      if (freeSlots == 0) {
        log.push_back("full:" + name);
        return false;
      }
      --freeSlots;
      log.push_back("run:" + name);
      for (auto& p : places)
        if (p.first == name) p.second = "run";
      hook = onActivate;
    }
    if (hook) hook();
    return true;
  }
  void AfterPass() override {
    Log("save");
    std::lock_guard<std::mutex> lk(m);
    ++saves;
  }
  void Log(const std::string& s) {
    std::lock_guard<std::mutex> lk(m);
    log.push_back(s);
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lk(m);
    return log;
  }
  int Saves() {
    std::lock_guard<std::mutex> lk(m);
    return saves;
  }
  void Place(const std::string& name, const std::string& state, int at = -1) {
    std::lock_guard<std::mutex> lk(m);
    if (at < 0) places.push_back({name, state});
    else places[at] = {name, state};
  }

  std::mutex m;
  std::vector<std::pair<std::string, std::string>> places;
  int freeSlots = 10;
  bool closing = false;
  int saves = 0;
  std::vector<std::string> log;
  std::function<void()> onActivate;
};

using Log = std::vector<std::string>;

}  // namespace

TEST(TaskScheduler, FirstPassRunsTheStartUpWorkOnceBeforeAnyScan) {
  ScriptedHost host;
  host.Place("a", "q");
  TaskScheduler s(host);
  EXPECT_FALSE(s.Started());
  s.Start();
  ASSERT_TRUE(WaitUntil([&] { return s.Started(); }));
  s.Wake();
  ASSERT_TRUE(WaitUntil([&] { return host.Saves() == 1; }));
  EXPECT_EQ(host.Log(), (Log{"first", "run:a", "save"}));
  s.Stop();
  EXPECT_EQ(host.Log(), (Log{"first", "run:a", "save"}));
}

TEST(TaskScheduler, APassActivatesQueuedEntriesInPlaceOrderAndSavesOnce) {
  ScriptedHost host;
  host.Place("a", "q");
  host.Place("b", "stop");
  host.Place("c", "q");
  host.Place("d", "run");
  host.Place("e", "q");
  TaskScheduler s(host);
  s.Wake();  // a wake before the start is kept
  s.Start();
  ASSERT_TRUE(WaitUntil([&] { return host.Saves() == 1; }));
  EXPECT_EQ(host.Log(), (Log{"first", "run:a", "run:c", "run:e", "save"}));
}

// An entry queued in front of the scan while it runs is taken in the same
// pass: a scan that activated anything is followed by another.
TEST(TaskScheduler, AnEntryQueuedBehindTheScanIsTakenInTheSamePass) {
  ScriptedHost host;
  host.Place("a", "stop");
  host.Place("b", "q");
  bool once = false;
  host.onActivate = [&] {
    if (once) return;
    once = true;
    host.Place("a", "q", 0);
  };
  TaskScheduler s(host);
  s.Start();
  s.Wake();
  ASSERT_TRUE(WaitUntil([&] { return host.Saves() == 1; }));
  EXPECT_EQ(host.Log(), (Log{"first", "run:b", "run:a", "save"}));
}

TEST(TaskScheduler, NoFreeSlotEndsThePassAndTheNextWakeGoesOn) {
  ScriptedHost host;
  host.freeSlots = 1;
  host.Place("a", "q");
  host.Place("b", "q");
  host.Place("c", "q");
  TaskScheduler s(host);
  s.Start();
  s.Wake();
  ASSERT_TRUE(WaitUntil([&] { return host.Saves() == 1; }));
  EXPECT_EQ(host.Log(), (Log{"first", "run:a", "full:b", "save"}));
  {
    std::lock_guard<std::mutex> lk(host.m);
    host.freeSlots = 5;
  }
  s.Wake();
  ASSERT_TRUE(WaitUntil([&] { return host.Saves() == 2; }));
  EXPECT_EQ(host.Log(), (Log{"first", "run:a", "full:b", "save", "run:b", "run:c", "save"}));
}

TEST(TaskScheduler, ClosingEndsAPassWithoutASave) {
  ScriptedHost host;
  host.Place("a", "q");
  host.closing = true;
  TaskScheduler s(host);
  s.Start();
  s.Wake();
  ASSERT_TRUE(WaitUntil([&] { return s.Started(); }));
  s.Stop();
  EXPECT_EQ(host.Saves(), 0);
  EXPECT_EQ(host.Log(), (Log{"first"}));
}

// A stop on the scheduler's own thread cannot join it: the pass ends at
// once and the thread after it.
TEST(TaskScheduler, AStopFromInsideAPassEndsItThere) {
  ScriptedHost host;
  host.Place("a", "q");
  host.Place("b", "q");
  TaskScheduler s(host);
  host.onActivate = [&] {
    s.Stop();
    host.Log("stopped");
  };
  s.Start();
  s.Wake();
  ASSERT_TRUE(WaitUntil([&] { return host.Log().size() >= 3; }));
  s.Stop();  // joins the thread, which ended by itself
  const Log expected{"first", "run:a", "stopped"};
  EXPECT_EQ(host.Log(), expected);
  s.Wake();
  s.Start();  // a stopped scheduler does not start again
  EXPECT_EQ(host.Log(), expected);
}
