// What hosts in the wild answer with: every kind of temporary or permanent
// redirect, reply headers swollen with policies and cookies, songs labelled
// as pages, and replies that keep every request waiting before their first
// byte.
#include <algorithm>
#include <mutex>
#include <string>
#include <tuple>

#include "engine/Gbk.h"
#include "tests/engine/BlockDownloaderTestKit.h"

namespace {

using bdtest::Owner;
using vtest::Route;

class BlockJobHost : public bdtest::JobFixture {
 protected:
  const std::string m_body = vtest::RandomBytes(600 * 1024, 9);
};

TEST_F(BlockJobHost, EveryRedirectKindIsFollowedWithGet) {
  for (int status : {301, 302, 307, 308}) {
    SCOPED_TRACE(status);
    const std::string name = "r" + std::to_string(status) + ".mp3";
    Route moved = Route::Redirect(status, "/" + name + ".real");
    moved.redirectBodySize = 60;  // never the file's length
    srv.route("/" + name, moved);
    srv.route("/" + name + ".real", Route::File(m_body));
    Owner o;
    auto job = Job(srv.url("/" + name), Target(name), 2, o);
    Run(*job, o);
    EXPECT_EQ(o.successes(), 1);
    EXPECT_EQ(vtest::ReadFile(Target(name)), m_body);
    for (const auto& req : srv.requestsFor("/" + name + ".real")) EXPECT_EQ(req.method, "GET");
  }
}

TEST_F(BlockJobHost, LongReplyHeadersAreReadUpToSixteenKib) {
  std::string padding;
  for (int i = 0; padding.size() < 15 * 1024; ++i)
    padding += "Set-Cookie: policy" + std::to_string(i) + "=" + std::string(200, 'c') + "\r\n";
  Route r = Route::File(m_body);
  r.extraHeaders = padding;
  srv.route("/long.mp3", r);
  auto job = Job(srv.url("/long.mp3"), Target("long.mp3"), 3, owner);
  Run(*job, owner);
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("long.mp3")), m_body);
}

TEST_F(BlockJobHost, ATextLabelIsJudgedByTheFirstBytes) {
  // MPEG-1 layer III frames of 417 bytes, then anything.
  std::string mpeg;
  while (mpeg.size() < 2000) mpeg += std::string("\xFF\xFB\x90\x64", 4) + std::string(413, '\x22');
  const std::string song = mpeg + vtest::RandomBytes(600 * 1024, 10);
  const std::string tagged = std::string("ID3\x04\x00\x00\x00\x00\x01\x00", 10) + m_body;
  const std::string text = "File not found on this mirror.\n" + std::string(600 * 1024, '.');
  for (const auto& [name, body, isSong] : {std::tuple{"mpeg.mp3", song, true}, std::tuple{"id3.mp3", tagged, true},
                                          std::tuple{"text.mp3", text, false}}) {
    SCOPED_TRACE(name);
    Route r = Route::File(body);
    r.contentType = "text/html";
    srv.route(std::string("/") + name, r);
    Owner o;
    auto job = Job(srv.url(std::string("/") + name), Target(name), 3, o);
    Run(*job, o);
    std::string texts;
    for (const auto& m : o.messages()) texts += std::to_string(m.index) + " " + GbkToUtf8(m.text) + "\n";
    if (isSong) {
      EXPECT_EQ(o.successes(), 1) << texts;
      EXPECT_TRUE(vtest::ReadFile(Target(name)) == body);
    } else {
      EXPECT_EQ(o.failures(), 1);
      EXPECT_GE(o.Count(T(txt::kSockNotASong), 0), 1) << texts;
      EXPECT_FALSE(bdtest::Exists(Target(name)));
    }
  }
}

TEST_F(BlockJobHost, HostSlowToAnswerGetsNoTakeOverChurn) {
  // Every reply waits before its header; one connection in three crawls.
  const std::string body = vtest::RandomBytes(4 * 1024 * 1024, 12);
  Route r = Route::File(body);
  r.faults.headerDelayMs = 1500;
  r.faults.rateBytesPerSec = 2 * 1024 * 1024;
  r.faults.slowEveryConnection = 3;
  r.faults.slowRateBytesPerSec = 256 * 1024;
  srv.route("/slow.mp3", r);
  int highest = 0;
  std::mutex lock;
  owner.onProgress = [&](int, int, int index) {
    std::lock_guard<std::mutex> g(lock);
    highest = std::max(highest, index);
  };
  auto job = Job(srv.url("/slow.mp3"), Target("slow.mp3"), 4, owner);
  CBlockDownloader::Start(job.get());
  ASSERT_TRUE(owner.WaitEnd(90000));
  job->Stop();
  EXPECT_EQ(owner.successes(), 1);
  EXPECT_EQ(vtest::ReadFile(Target("slow.mp3")), body);
  // Each block request pays the wait again: a split block taken over as
  // soon as it starts would make one request after another (ten here,
  // before blocks were left to settle; six since).
  const size_t requests = bdtest::BlockRanges(srv, "/slow.mp3").size();
  const int connections = srv.connectionsAccepted();
  EXPECT_LE(requests, 8u) << "block numbers up to " << highest;
  EXPECT_LE(highest - 3, connections) << "more splits than connections";
}

}  // namespace
