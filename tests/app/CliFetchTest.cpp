// The console's fetch on uneven hosts: what it shows while blocks are split,
// and a job killed at any moment that resumes byte-exact.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "tests/app/CliTestUtil.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

// Rate-limited so that a fresh run takes seconds.
constexpr long long kLength = 8 * 1024 * 1024;

// Four blocks where every third connection crawls: a finished block takes
// over part of a slow one on every run, resumed or not.
vtest::Route UnevenFile(const std::string& body) {
  vtest::Route r = vtest::Route::File(body);
  r.faults.rateBytesPerSec = 2 * 1024 * 1024;
  r.faults.slowEveryConnection = 3;
  r.faults.slowRateBytesPerSec = 128 * 1024;
  return r;
}

// The last progress line before "已保存".
std::string LastProgress(const std::string& err) {
  const size_t saved = err.rfind("\n已保存 ");
  if (saved == std::string::npos) return "";
  const size_t from = err.rfind('\n', saved - 1);
  return err.substr(from == std::string::npos ? 0 : from + 1, saved - (from == std::string::npos ? 0 : from + 1));
}

TEST(CliFetch, ProgressCountsTheBlocksSplitOff) {
  vtest::TempHome home;
  vtest::ScriptedServer srv;
  const std::string body = vtest::RandomBytes(kLength, 21);
  srv.route("/u.mp3", UnevenFile(body));
  const std::string out = home.root() + "/u.mp3";
  const auto run = apptest::RunCli({"fetch", srv.url("/u.mp3"), out, "--blocks", "4"}, home.root());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(vtest::ReadFile(out), body);
  // More block numbers than --blocks were used, and every byte is counted.
  EXPECT_NE(run.err.find("[block 4]"), std::string::npos) << run.err;
  EXPECT_NE(LastProgress(run.err).find("100.0%"), std::string::npos) << run.err;
}

TEST(CliFetch, KilledAtRandomMomentsDuringSplitsResumesByteExact) {
  unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  if (const char* s = std::getenv("VIRELOMP3_KILL_SEED")) seed = static_cast<unsigned>(std::strtoul(s, nullptr, 10));
  // Printed first, so a failure can be replayed with VIRELOMP3_KILL_SEED.
  std::printf("kill seed %u\n", seed);
  std::fflush(stdout);
  SCOPED_TRACE("VIRELOMP3_KILL_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> moment(30, 600);

  vtest::TempHome home;
  vtest::ScriptedServer srv;
  const std::string body = vtest::RandomBytes(kLength, seed);
  srv.route("/k.mp3", UnevenFile(body));
  const std::string out = home.root() + "/k.mp3";
  const std::vector<std::string> args = {"fetch", srv.url("/k.mp3"), out, "--blocks", "4"};
  const auto started = std::chrono::steady_clock::now();
  int kills = 0;
  bool done = false;
  for (int round = 0; round < 16 && !done && std::chrono::steady_clock::now() - started < std::chrono::seconds(60);
       ++round) {
    const int ms = moment(random);
    SCOPED_TRACE("round " + std::to_string(round) + ", killed after " + std::to_string(ms) + " ms");
    apptest::Child c = apptest::Spawn(args, home.root());
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    kill(c.pid, SIGKILL);
    const int status = apptest::Wait(c, 10000);
    if (status == 0) {
      done = true;  // it ended before the kill
    } else {
      ASSERT_EQ(status, 128 + SIGKILL) << vtest::ReadFile(c.err);
      ++kills;
    }
  }
  if (!done) {
    const auto last = apptest::RunCli(args, home.root());
    ASSERT_EQ(last.status, 0) << last.err;
  }
  std::printf("killed %d times\n", kills);
  EXPECT_GE(kills, 1);
  EXPECT_EQ(vtest::ReadFile(out), body) << "after " << kills << " kills";
}

}  // namespace
