// One block through Run: resume rules, checks on the reply, stop.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "res/Texts.h"
#include "tests/engine/BlockSocketFixture.h"

namespace {

using vtest::Route;

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

class HttpSocketBlock : public bstest::BlockSocketFixture {
 protected:
  static constexpr int kFile = 10000;
  HttpSocketBlock() : BlockSocketFixture(kFile, 11, 2) {}

  // A block socket over /song.mp3 like the job makes it.
  std::unique_ptr<CHttpSocket> Block(int start, int length, int resume = 1) {
    return MakeBlock(start, length, resume, m_log);
  }
  std::string Part(int start, int length) const { return m_body.substr(start, length); }
  std::vector<std::string> Ranges() const {
    std::vector<std::string> out;
    for (auto& r : m_srv.requests()) out.push_back(r.range);
    return out;
  }
};

TEST_F(HttpSocketBlock, FirstBlockTakesOnlyItsLengthOfTheWholeFile) {
  Serve(Route::File(""));
  auto s = Block(0, 2500);
  s->Run();
  EXPECT_EQ(Ranges(), std::vector<std::string>{""});
  EXPECT_EQ(vtest::ReadFile(m_path), Part(0, 2500));
  EXPECT_EQ(m_log.Successes(), std::vector<int>{m_index});
  EXPECT_TRUE(m_log.Failures().empty());
  auto p = m_log.ProgressCalls();
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back().received, 2500);
  EXPECT_EQ(p.back().blockLength, 2500);
  for (auto& c : p) EXPECT_LE(c.received, 2500);
  EXPECT_TRUE(m_log.Has(txt::kSockTempCreated));
  EXPECT_TRUE(m_log.Has(txt::kSockReceiveStart));
  EXPECT_TRUE(m_log.Has(txt::kSockReceiveDone));
}

TEST_F(HttpSocketBlock, BlockFileIsPrivateAndNeverFollowsALink) {
  Serve(Route::File(""));
  const std::string victim = m_home.root() + "/victim";
  ASSERT_TRUE(vtest::WriteFile(victim, "keep me"));
  ASSERT_EQ(symlink(victim.c_str(), m_path.c_str()), 0);
  auto s = Block(100, 50);
  s->Run();
  EXPECT_EQ(vtest::ReadFile(victim), "keep me");
  struct stat st{};
  ASSERT_EQ(lstat(m_path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(vtest::ReadFile(m_path), Part(100, 50));
}

TEST_F(HttpSocketBlock, ResumesRightAfterTheStoredBytesWhenTheServerCloses) {
  Route r = Route::File("");
  r.faults.closeAfterBodyBytes = 700;
  r.faults.onlyFirst = 1;
  Serve(r);
  auto s = Block(3000, 2000);
  s->Run();
  EXPECT_EQ(Ranges(), (std::vector<std::string>{"bytes=3000-4999", "bytes=3700-4999"}));
  EXPECT_EQ(vtest::ReadFile(m_path), Part(3000, 2000));
  EXPECT_EQ(m_log.Successes(), std::vector<int>{m_index});
  // Progress counts what the file holds, earlier attempts included.
  auto p = m_log.ProgressCalls();
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back().received, 2000);
  EXPECT_TRUE(m_log.Has(txt::kSockTempOpened));
  ASSERT_TRUE(m_srv.waitIdle(5000));
  EXPECT_EQ(m_srv.bodyBytesSent("/song.mp3"), 2000);
}

TEST_F(HttpSocketBlock, ContinuesAStoredPartFromAnEarlierRun) {
  Serve(Route::File(""));
  ASSERT_TRUE(vtest::WriteFile(m_path, Part(0, 1234)));
  auto s = Block(0, 5000);
  s->Run();
  EXPECT_EQ(Ranges(), std::vector<std::string>{"bytes=1234-4999"});
  EXPECT_EQ(vtest::ReadFile(m_path), Part(0, 5000));
}

TEST_F(HttpSocketBlock, OversizedOrEmptyBlockFileStartsAfresh) {
  Serve(Route::File(""));
  ASSERT_TRUE(vtest::WriteFile(m_path, std::string(600, 'z')));
  auto s = Block(4000, 500);
  s->Run();
  EXPECT_EQ(vtest::ReadFile(m_path), Part(4000, 500));
  ASSERT_TRUE(vtest::WriteFile(m_path, ""));
  m_srv.clearRequests();
  auto t = Block(4000, 500);
  t->Run();
  EXPECT_EQ(Ranges(), std::vector<std::string>{"bytes=4000-4499"});
  EXPECT_EQ(vtest::ReadFile(m_path), Part(4000, 500));
}

TEST_F(HttpSocketBlock, NoResumeDiscardsTheStoredPart) {
  Serve(Route::File(""));
  ASSERT_TRUE(vtest::WriteFile(m_path, std::string(300, 'z')));
  auto s = Block(1000, 1000, /*resume=*/0);
  s->Run();
  EXPECT_EQ(Ranges(), std::vector<std::string>{"bytes=1000-1999"});
  EXPECT_EQ(vtest::ReadFile(m_path), Part(1000, 1000));
  EXPECT_FALSE(m_log.Has(txt::kSockTempOpened));
}

TEST_F(HttpSocketBlock, WholeBlockFileCompletesEvenOnA416) {
  Serve(Route::File(""));
  ASSERT_TRUE(vtest::WriteFile(m_path, Part(8000, 2000)));
  auto s = Block(8000, 2000);
  s->Run();
  // Still asks (past the end of the file) and completes with nothing new.
  EXPECT_EQ(Ranges(), std::vector<std::string>{"bytes=10000-"});
  EXPECT_EQ(vtest::ReadFile(m_path), Part(8000, 2000));
  EXPECT_EQ(m_log.Successes(), std::vector<int>{m_index});
  EXPECT_TRUE(m_log.Has(txt::kSockReceiveDone));
  ASSERT_TRUE(m_srv.waitIdle(5000));
  EXPECT_EQ(m_srv.bodyBytesSent("/song.mp3"), 0);
}

TEST_F(HttpSocketBlock, WholeBlockFileCompletesWithTheServerGone) {
  ASSERT_TRUE(vtest::WriteFile(m_path, Part(0, 700)));
  auto s = Block(0, 700);
  s->SetURL("http://127.0.0.1:1/song.mp3");
  s->Run();
  EXPECT_EQ(vtest::ReadFile(m_path), Part(0, 700));
  EXPECT_EQ(m_log.Successes(), std::vector<int>{m_index});
  EXPECT_TRUE(m_log.Failures().empty());
}

TEST_F(HttpSocketBlock, WholeMiddleBlockIgnoresTheRestOfTheFileSent) {
  Serve(Route::File(""));
  ASSERT_TRUE(vtest::WriteFile(m_path, Part(2000, 2000)));
  auto s = Block(2000, 2000);
  s->Run();
  EXPECT_EQ(vtest::ReadFile(m_path), Part(2000, 2000));
  EXPECT_EQ(m_log.Successes(), std::vector<int>{m_index});
}

TEST_F(HttpSocketBlock, ServerIgnoringRangeNeverPollutesTheBlock) {
  Route r = Route::File("");
  r.faults.ignoreRange = true;
  Serve(r);
  ASSERT_TRUE(vtest::WriteFile(m_path, Part(5000, 100)));
  auto s = Block(5000, 1000);
  s->Run();
  EXPECT_EQ(vtest::ReadFile(m_path), Part(5000, 100));
  EXPECT_EQ(m_srv.requests().size(), 3u);
  EXPECT_EQ(m_log.Failures(), std::vector<int>{m_index});
  EXPECT_TRUE(m_log.Successes().empty());
}

TEST_F(HttpSocketBlock, WrongContentRangeStartFails) {
  Route r = Route::File("");
  r.faults.contentRangeShift = 1;
  Serve(r);
  auto s = Block(5000, 1000);
  s->Run();
  EXPECT_EQ(vtest::ReadFile(m_path), "");
  EXPECT_EQ(m_log.Failures(), std::vector<int>{m_index});
}

TEST_F(HttpSocketBlock, ErrorPageIsNotTakenForTheFirstBlock) {
  m_srv.route("/song.mp3", Route::Raw("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"));
  auto s = Block(0, 1000);
  s->Run();
  EXPECT_EQ(vtest::ReadFile(m_path), "");
  EXPECT_EQ(m_log.Failures(), std::vector<int>{m_index});
  char want[128];
  std::snprintf(want, sizeof want, txt::kSockReplyMismatch, 404);
  EXPECT_TRUE(m_log.Has(want)) << m_log.Dump();
}

TEST_F(HttpSocketBlock, FailedWriteNeverCompletesTheBlock) {
  Serve(Route::File(""));
  // The file size limit stands in for a full disk; this test runs in its
  // own process.
  signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  auto s = Block(0, kFile);
  s->Run();
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_TRUE(m_log.Successes().empty());
  EXPECT_TRUE(m_log.Has(txt::kSockDownloadFailed));
  EXPECT_EQ(m_log.Failures(), std::vector<int>{m_index});
  EXPECT_LE(vtest::ReadFile(m_path).size(), 4096u);
}

TEST_F(HttpSocketBlock, TransientFailuresUseTheThreeAttempts) {
  Route r = Route::File("");
  r.faults.failFirst = 2;
  Serve(r);
  auto s = Block(0, 3000);
  s->Run();
  EXPECT_EQ(m_srv.requests().size(), 3u);
  EXPECT_EQ(vtest::ReadFile(m_path), Part(0, 3000));
  EXPECT_EQ(m_log.Successes(), std::vector<int>{m_index});
}

TEST_F(HttpSocketBlock, BadAddressFailsEveryAttempt) {
  auto s = Block(0, 10);
  s->SetURL("ftp://127.0.0.1/x");
  s->Run();
  EXPECT_TRUE(m_log.Has(txt::kSockBadUrl));
  EXPECT_EQ(m_log.Failures(), std::vector<int>{m_index});
}

TEST_F(HttpSocketBlock, OversizedHeaderFailsTheAttempt) {
  Route r = Route::File("");
  r.faults.headerNoBlankLine = true;
  Serve(r);
  auto s = Block(0, 3000);
  s->Run();
  EXPECT_EQ(vtest::ReadFile(m_path), "");
  EXPECT_EQ(m_log.Failures(), std::vector<int>{m_index});
  EXPECT_TRUE(m_log.Has(txt::kSockHeaderTooLong));
}

TEST_F(HttpSocketBlock, AbortDuringAStalledTransferEndsRunWithoutAnAnswer) {
  Route r = Route::File("");
  r.faults.stallAfterBodyBytes = 1500;
  r.faults.stallMs = 60000;
  Serve(r);
  GetTimeOut = 60;
  auto s = Block(0, 5000);
  const int before = OpenDescriptors();
  std::thread t([&] { s->Run(); });
  for (int i = 0; i < 500 && (m_log.ProgressCalls().empty() || m_log.ProgressCalls().back().received < 1500); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(m_log.ProgressCalls().empty());
  auto t0 = std::chrono::steady_clock::now();
  s->Abort();
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_TRUE(m_log.Successes().empty());
  EXPECT_TRUE(m_log.Failures().empty());
  EXPECT_EQ(m_srv.requests().size(), 1u);  // no further attempts
  // The owner closed its descriptor on the way out, not only shut it
  // down; the stalled server still holds its own end.
  EXPECT_EQ(OpenDescriptors(), before + m_srv.openConnections());
  EXPECT_EQ(vtest::ReadFile(m_path), Part(0, 1500));
}

TEST_F(HttpSocketBlock, AbortBeforeRunMakesNoRequest) {
  Serve(Route::File(""));
  auto s = Block(0, 5000);
  s->Abort();
  s->Run();
  EXPECT_TRUE(m_srv.requests().empty());
  EXPECT_TRUE(m_log.Successes().empty());
  EXPECT_TRUE(m_log.Failures().empty());
}

TEST_F(HttpSocketBlock, AbortWhileWaitingForTheHeader) {
  Route r = Route::File("");
  r.faults.stallMs = 60000;
  Serve(r);
  GetTimeOut = 60;
  auto s = Block(0, 5000);
  std::thread t([&] { s->Run(); });
  ASSERT_TRUE(m_srv.waitForRequests(1, 5000));
  auto t0 = std::chrono::steady_clock::now();
  s->Abort();
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_TRUE(m_log.Failures().empty());
  EXPECT_EQ(m_srv.requests().size(), 1u);
}

}  // namespace
