// The lock on a target's name: one owner at a time across descriptors (and
// so across processes), a wait that Stop can end, and a lock file that a
// remover may delete without ever giving the name two owners.
#include "engine/job/TargetLock.h"

#include <sys/stat.h>

#include <atomic>
#include <future>

#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using vtest::Route;

TEST(TargetLock, OneOwnerAtATimeAndTheFileGoesWithItsHolder) {
  vtest::TempHome home;
  const std::string path = CTargetLock::PathFor("/x/y/a.mp3");
  EXPECT_EQ(path, home.temp() + "a.mp3.lock");
  CTargetLock a(path), b(path);
  ASSERT_EQ(a.TryLock(), CTargetLock::Result::kLocked);
  EXPECT_EQ(b.TryLock(), CTargetLock::Result::kBusy);
  EXPECT_FALSE(b.Held());
  a.Unlock();
  EXPECT_FALSE(bdtest::Exists(path)) << "lock files would pile up";
  EXPECT_EQ(b.TryLock(), CTargetLock::Result::kLocked);
  EXPECT_EQ(a.TryLock(), CTargetLock::Result::kBusy);
  // A file put in place of the held one is not the holder's to remove.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_TRUE(vtest::WriteFile(path, "someone else's"));
  b.Unlock();
  EXPECT_EQ(vtest::ReadFile(path), "someone else's");
  ASSERT_EQ(::unlink(path.c_str()), 0);

  CTargetLock nowhere(home.root() + "/no-such-dir/a.mp3.lock");
  EXPECT_EQ(nowhere.TryLock(), CTargetLock::Result::kError);
  EXPECT_EQ(errno, ENOENT);
}

TEST(TargetLock, WaitEndsWhenStoppedOrFreed) {
  vtest::TempHome home;
  const std::string path = home.temp() + "a.mp3.lock";
  CTargetLock holder(path);
  ASSERT_EQ(holder.TryLock(), CTargetLock::Result::kLocked);

  CTargetLock waiter(path);
  std::atomic<bool> stop{false};
  std::atomic<int> told{0};
  auto stopped = std::async(std::launch::async, [&] {
    return waiter.Lock([&] { return stop.load(); }, [&] { ++told; });
  });
  ASSERT_TRUE(bdtest::WaitFor([&] { return told.load() == 1; }));
  stop = true;
  EXPECT_FALSE(stopped.get());
  EXPECT_FALSE(waiter.Held());

  // A remover deletes the file under the lock while someone waits on it:
  // the waiter must end up owning the file that is there now, not the old one.
  auto freed = std::async(std::launch::async, [&] { return waiter.Lock(nullptr, nullptr); });
  holder.UnlinkLocked();
  holder.Unlock();
  ASSERT_TRUE(freed.get());
  CTargetLock third(path);
  EXPECT_EQ(third.TryLock(), CTargetLock::Result::kBusy);
}

class JobTargetLock : public bdtest::JobFixture {};

TEST_F(JobTargetLock, SecondJobOfTheNameWaitsUntilTheFirstLetsGo) {
  const std::string body = vtest::RandomBytes(3000, 5);
  srv.route("/a.mp3", Route::File(body));
  CTargetLock other(CTargetLock::PathFor(Target("a.mp3")));
  ASSERT_EQ(other.TryLock(), CTargetLock::Result::kLocked);
  ASSERT_TRUE(vtest::WriteFile(BlockFile("a.mp3", 0), "foreign bytes"));

  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  std::thread starter([&] { CBlockDownloader::Start(job.get()); });
  const std::string waiting = T(txt::kJobWaitingForTarget);
  ASSERT_TRUE(bdtest::WaitFor([&] { return owner.Count(waiting, -1) == 1; }));
  EXPECT_TRUE(srv.requests().empty()) << "nothing is asked before the name is ours";
  EXPECT_EQ(vtest::ReadFile(BlockFile("a.mp3", 0)), "foreign bytes");
  other.Unlock();
  starter.join();
  ASSERT_TRUE(owner.WaitEnd());
  job->Stop();
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
  EXPECT_EQ(owner.Count(waiting, -1), 1);
  // Once the job ends the name is free again.
  EXPECT_EQ(other.TryLock(), CTargetLock::Result::kLocked);
}

TEST_F(JobTargetLock, StopEndsTheWaitWithoutACallback) {
  srv.route("/a.mp3", Route::File(vtest::RandomBytes(3000, 5)));
  CTargetLock other(CTargetLock::PathFor(Target("a.mp3")));
  ASSERT_EQ(other.TryLock(), CTargetLock::Result::kLocked);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  std::thread starter([&] { CBlockDownloader::Start(job.get()); });
  ASSERT_TRUE(bdtest::WaitFor([&] { return owner.Count(T(txt::kJobWaitingForTarget), -1) == 1; }));
  job->Stop();
  starter.join();
  EXPECT_EQ(owner.successes() + owner.failures(), 0);
  EXPECT_TRUE(srv.requests().empty());
}

TEST_F(JobTargetLock, HeldWhileBlocksRunAndFreedByStop) {
  Route r = Route::File(vtest::RandomBytes(3000, 5));
  r.faults.stallAfterBodyBytes = 100;
  r.faults.stallMs = 20000;
  srv.route("/a.mp3", r);
  auto job = Job(srv.url("/a.mp3"), Target("a.mp3"), 2, owner, true);
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(owner.WaitProgress());
  CTargetLock other(CTargetLock::PathFor(Target("a.mp3")));
  EXPECT_EQ(other.TryLock(), CTargetLock::Result::kBusy);
  job->Stop();
  EXPECT_EQ(other.TryLock(), CTargetLock::Result::kLocked);
}

}  // namespace
