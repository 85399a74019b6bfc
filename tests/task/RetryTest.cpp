// The retry worker and the job texts a retry reports.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "res/Texts.h"
#include "task/JobTexts.h"
#include "task/RetryWorker.h"
#include "tests/task/TaskTestHost.h"

namespace {

TEST(RetryWorkerTest, RunsEachPostInOrderOnAThreadOfItsOwn) {
  std::mutex lock;
  std::vector<uint64_t> ran;
  std::vector<std::thread::id> threads;
  CRetryWorker worker([&](uint64_t serial) {
    std::lock_guard<std::mutex> g(lock);
    ran.push_back(serial);
    threads.push_back(std::this_thread::get_id());
  });
  for (uint64_t s = 1; s <= 5; ++s) worker.Post(s);
  ASSERT_TRUE(vtest::TaskTestHost::WaitUntil([&] {
    std::lock_guard<std::mutex> g(lock);
    return ran.size() == 5;
  }));
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(ran, (std::vector<uint64_t>{1, 2, 3, 4, 5}));
  for (const auto& id : threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(RetryWorkerTest, CloseDropsWhatIsQueuedAndRefusesMore) {
  std::mutex gate;
  std::atomic<int> ran{0};
  std::unique_lock<std::mutex> held(gate);
  CRetryWorker worker([&](uint64_t) {
    std::lock_guard<std::mutex> g(gate);  // the first run waits here
    ++ran;
  });
  worker.Post(1);
  worker.Post(2);
  worker.Post(3);
  worker.Close();
  worker.Post(4);
  held.unlock();
  worker.Join();
  EXPECT_LE(ran.load(), 1);  // at most the one already taken from the queue
}

TEST(RetryWorkerTest, NeverPostedEndsWithoutAThread) {
  CRetryWorker worker([](uint64_t) { FAIL(); });
  worker.Close();
  worker.Join();
  worker.Join();  // twice is harmless
}

TEST(JobTextsTest, ACauseOutranksTheLastWordOnce) {
  CJobTexts texts;
  EXPECT_EQ(texts.TakeFailureText(), "");
  std::string lookup = T(txt::kNetLookupFailed);
  lookup.replace(lookup.find("%s"), 2, "nowhere.invalid");
  texts.Keep(lookup);
  texts.Keep(T(txt::kDownloadFailed));  // a later step's text
  EXPECT_EQ(texts.TakeFailureText(), lookup);
  EXPECT_EQ(texts.TakeFailureText(), T(txt::kDownloadFailed));  // the cause is used up
  texts.Forget();
  EXPECT_EQ(texts.TakeFailureText(), "");
}

}  // namespace
