#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/UiPortRelay.h"
#include "app/WakeSignal.h"
#include "tests/app/AppTestUtil.h"

namespace {

using apptest::RecordingPort;
using apptest::WaitUntil;

// A port whose message box holds its caller until the test lets it go.
class HeldPort : public IUiPort {
 public:
  void MessageBox(const std::string&, const std::string&) override {
    std::unique_lock<std::mutex> lk(m);
    inCall = true;
    entered = true;
    cv.notify_all();
    cv.wait(lk, [this] { return released; });
    inCall = false;
  }
  void SetListText(const std::string&, int, const std::string&) override {}
  void DeleteListRow(const std::string&) override {}
  void Release() {
    std::lock_guard<std::mutex> lk(m);
    released = true;
    cv.notify_all();
  }
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, inCall = false, released = false;
};

}  // namespace

// Message boxes raised before the front end is up wait for it, in order and
// only once; list writes have no row to go to yet and are dropped.
TEST(UiPortRelay, KeepsEarlyMessagesForThePortAndDropsEarlyListWrites) {
  UiPortRelay relay;
  relay.ShowMessage("first", "");
  relay.SetListText("song", 1, "x");
  relay.DeleteListRow("song");
  relay.ShowMessage("second", "cap");
  RecordingPort port;
  relay.SetPort(&port);
  EXPECT_EQ(port.Messages(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(port.writes, 0);
  EXPECT_EQ(port.DeletedCount("song"), 0);

  relay.SetListText("song", 3, "12%");
  EXPECT_EQ(port.cells["song"][3], "12%");
  RecordingPort next;
  relay.SetPort(&next);
  EXPECT_TRUE(next.Messages().empty());  // delivered once, not again
}

TEST(UiPortRelay, KeepsABoundedNumberOfEarlyMessages) {
  UiPortRelay relay;
  for (size_t i = 0; i < UiPortRelay::kMaxKeptMessages + 20; ++i) relay.ShowMessage(std::to_string(i), "");
  RecordingPort port;
  relay.SetPort(&port);
  const std::vector<std::string> got = port.Messages();
  ASSERT_EQ(got.size(), UiPortRelay::kMaxKeptMessages);
  EXPECT_EQ(got.front(), "0");
  EXPECT_EQ(got.back(), std::to_string(UiPortRelay::kMaxKeptMessages - 1));
}

// A front end that goes away right after taking its port back must not be
// called any more: the swap waits for the call in flight.
TEST(UiPortRelay, SwappingThePortWaitsForACallInFlight) {
  HeldPort held;
  UiPortRelay relay(&held);
  std::thread caller([&] { relay.ShowMessage("busy", ""); });
  {
    std::unique_lock<std::mutex> lk(held.m);
    ASSERT_TRUE(held.cv.wait_for(lk, std::chrono::seconds(30), [&] { return held.entered; }));
  }
  std::atomic<bool> swapped{false};
  bool callStillRunning = true;
  std::thread swapper([&] {
    relay.SetPort(nullptr);
    std::lock_guard<std::mutex> lk(held.m);
    callStillRunning = held.inCall;
    swapped = true;
  });
  // Give a wrong relay the chance to return early; a right one cannot.
  EXPECT_FALSE(WaitUntil([&] { return swapped.load(); }, 200));
  held.Release();
  caller.join();
  swapper.join();
  EXPECT_FALSE(callStillRunning);
  relay.ShowMessage("later", "");  // kept for the next port, not sent to the old one
  RecordingPort next;
  relay.SetPort(&next);
  EXPECT_EQ(next.Messages(), (std::vector<std::string>{"later"}));
}

// Wakes before a wait make one pass; a wake during the pass makes another.
TEST(WakeSignal, ResetsAfterEachWaitAndLosesNoWake) {
  WakeSignal wake;
  wake.Wake();
  wake.Wake();
  wake.Wake();
  ASSERT_TRUE(wake.Wait());
  wake.Wake();  // as if raised during the pass
  ASSERT_TRUE(wake.Wait());

  // Reset: the next wait blocks until something happens; here a stop.
  std::atomic<int> result{-1};
  std::atomic<bool> started{false};
  std::thread waiter([&] {
    started = true;
    result = wake.Wait() ? 1 : 0;
  });
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  EXPECT_FALSE(WaitUntil([&] { return result.load() >= 0; }, 100));
  wake.Stop();
  waiter.join();
  EXPECT_EQ(result.load(), 0);
}

TEST(WakeSignal, StopEndsEveryWaitForGood) {
  WakeSignal wake;
  std::atomic<int> ended{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (!wake.Wait()) ++ended;
    });
  EXPECT_FALSE(wake.IsStopped());
  wake.Stop();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(ended.load(), 3);
  wake.Wake();  // a wake after the stop does not revive it
  EXPECT_FALSE(wake.Wait());
  EXPECT_TRUE(wake.IsStopped());
}
