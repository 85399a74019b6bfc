// The console's fetch given several URL OUT pairs: the jobs run in one
// process, every file is saved byte-exact, and a failure names its file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "tests/app/CliTestUtil.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

constexpr long long kLength = 512 * 1024;

vtest::Route Song(const std::string& body) {
  vtest::Route r = vtest::Route::File(body);
  r.faults.rateBytesPerSec = 1024 * 1024;
  return r;
}

size_t Count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

// A host that refuses a third connection: the jobs share what it allows and
// none gives up on a busy answer.
TEST(CliFetchMany, ThreeSongsFromABusyHostAllSaved) {
  vtest::TempHome home;
  vtest::ScriptedServer srv;
  srv.setConnectionLimit({2, 503, "1", false});
  std::vector<std::string> args = {"fetch"};
  std::vector<std::string> bodies;
  for (int i = 0; i < 3; ++i) {
    bodies.push_back(vtest::RandomBytes(kLength, 40 + i));
    const std::string path = "/s" + std::to_string(i) + ".mp3";
    srv.route(path, Song(bodies.back()));
    args.push_back(srv.url(path));
    args.push_back(home.root() + path);
  }
  args.insert(args.end(), {"--blocks", "2"});
  const auto run = apptest::RunCli(args, home.root());
  ASSERT_EQ(run.status, 0) << run.err;
  for (int i = 0; i < 3; ++i) {
    const std::string out = home.root() + "/s" + std::to_string(i) + ".mp3";
    EXPECT_EQ(vtest::ReadFile(out), bodies[static_cast<size_t>(i)]) << out;
    EXPECT_EQ(Count(run.err, "已保存 " + out + " ("), 1u) << run.err;
  }
  // Each job's lines say whose they are.
  EXPECT_NE(run.err.find(home.root() + "/s2.mp3: [block "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("100.0%"), std::string::npos) << run.err;
}

TEST(CliFetchMany, AFailureIsNamedAndTheOthersAreStillSaved) {
  vtest::TempHome home;
  vtest::ScriptedServer srv;
  const std::string body = vtest::RandomBytes(kLength, 50);
  srv.route("/good.mp3", Song(body));
  vtest::Route gone = vtest::Route::Raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  srv.route("/gone.mp3", gone);
  const std::string good = home.root() + "/good.mp3", bad = home.root() + "/gone.mp3";
  const auto run = apptest::RunCli({"fetch", srv.url("/gone.mp3"), bad, srv.url("/good.mp3"), good}, home.root());
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(vtest::ReadFile(good), body);
  EXPECT_NE(run.err.find("已保存 " + good + " ("), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("virelomp3-cli fetch: " + bad + ": 失败: "), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("已保存 " + bad), std::string::npos) << run.err;
}

// Mistakes in any pair stop the run before a single request.
TEST(CliFetchMany, MistakesInAnyPairRefusedBeforeFetching) {
  vtest::TempHome home;
  vtest::ScriptedServer srv;
  srv.route("/a.mp3", Song(vtest::RandomBytes(kLength, 51)));
  const std::string a = srv.url("/a.mp3"), out = home.root() + "/a.mp3";
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"fetch", a, out, a}, "用法: fetch URL OUT [URL OUT]..."},
      {{"fetch", a, out, a, out}, "同一个 OUT 给了两次: " + out},
      {{"fetch", a, out, "ftp://x/y.mp3", home.root() + "/b.mp3"}, "ftp://x/y.mp3"},
      {{"fetch", a, out, a, home.root() + "/no/such/b.mp3"}, home.root() + "/no/such"},
  };
  for (const Case& c : cases) {
    const auto run = apptest::RunCli(c.args, home.root());
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  EXPECT_TRUE(srv.requests().empty());
  EXPECT_NE(access(out.c_str(), F_OK), 0);
}

}  // namespace
