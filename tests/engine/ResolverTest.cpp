// Name lookups a Stop can walk away from.
#include "engine/http/Resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

// A resolver that answers "song.test" at once and stays silent on
// "silent.test" until the test lets it go (bounded, so no thread outlives
// the program by much).
std::mutex g_lock;
std::condition_variable g_cv;
bool g_release = false;
std::atomic<int> g_silentCalls{0};

int FakeLookup(const std::string& host, sockaddr_in& out) {
  if (host == "silent.test") {
    ++g_silentCalls;
    std::unique_lock<std::mutex> lk(g_lock);
    g_cv.wait_for(lk, std::chrono::seconds(20), [] { return g_release; });
    return EAI_AGAIN;
  }
  if (host != "song.test") return EAI_NONAME;
  out.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &out.sin_addr);
  return 0;
}

class Resolver : public bdtest::JobFixture {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lk(g_lock);
    g_release = false;
    g_silentCalls = 0;
    SetHostLookup(FakeLookup);
  }
  void TearDown() override {
    {
      std::lock_guard<std::mutex> lk(g_lock);
      g_release = true;
    }
    g_cv.notify_all();
    SetHostLookup(nullptr);
  }
};

TEST_F(Resolver, NamesAndDottedAddresses) {
  sockaddr_in a{};
  ASSERT_TRUE(ResolveHost("10.1.2.3", a, nullptr));
  char text[32];
  EXPECT_STREQ(inet_ntop(AF_INET, &a.sin_addr, text, sizeof text), "10.1.2.3");
  ASSERT_TRUE(ResolveHost("song.test", a, nullptr));
  EXPECT_STREQ(inet_ntop(AF_INET, &a.sin_addr, text, sizeof text), "127.0.0.1");
  EXPECT_FALSE(ResolveHost("nobody.test", a, nullptr));
  EXPECT_FALSE(ResolveHost("song.test", a, [] { return true; }));
}

TEST_F(Resolver, JobThroughANameDownloads) {
  const std::string body = vtest::RandomBytes(5000, 4);
  srv.route("/a.mp3", vtest::Route::File(body));
  auto job = Job("http://song.test:" + std::to_string(srv.port()) + "/a.mp3", Target("a.mp3"), 2, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("a.mp3")), body);
}

TEST_F(Resolver, StopDoesNotWaitForASilentLookup) {
  auto job = Job("http://silent.test/a.mp3", Target("a.mp3"), 2, owner);
  std::thread starter([&] { CBlockDownloader::Start(job.get()); });
  ASSERT_TRUE(bdtest::WaitFor([] { return g_silentCalls.load() == 1; }));
  job->Stop();
  starter.join();
  // The lookup is still unanswered: Stop and Start returned without it.
  {
    std::lock_guard<std::mutex> lk(g_lock);
    EXPECT_FALSE(g_release);
  }
  EXPECT_EQ(owner.successes() + owner.failures(), 0);
  EXPECT_EQ(owner.Count(T(txt::kSockLookupFailed), 0), 0) << "a stopped lookup is no failure";
}

}  // namespace
