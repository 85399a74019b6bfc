#include "task/CurlApi.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "task/RobotInternet.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

using vtest::Route;
using vtest::ScriptedServer;

bool CurlMapped() {
  void* h = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_NOLOAD);
  if (h) ::dlclose(h);  // only drops the reference NOLOAD took
  return h != nullptr;
}

void ExpectAllResolved(const CCurlApi& a) {
  EXPECT_NE(a.global_init, nullptr);
  EXPECT_NE(a.easy_init, nullptr);
  EXPECT_NE(a.easy_setopt, nullptr);
  EXPECT_NE(a.easy_perform, nullptr);
  EXPECT_NE(a.easy_getinfo, nullptr);
  EXPECT_NE(a.easy_cleanup, nullptr);
  EXPECT_NE(a.slist_append, nullptr);
  EXPECT_NE(a.slist_free_all, nullptr);
}

void ExpectAllEmpty(const CCurlApi& a) {
  EXPECT_EQ(a.global_init, nullptr);
  EXPECT_EQ(a.easy_init, nullptr);
  EXPECT_EQ(a.easy_setopt, nullptr);
  EXPECT_EQ(a.easy_perform, nullptr);
  EXPECT_EQ(a.easy_getinfo, nullptr);
  EXPECT_EQ(a.easy_cleanup, nullptr);
  EXPECT_EQ(a.slist_append, nullptr);
  EXPECT_EQ(a.slist_free_all, nullptr);
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// First in the file: the test binary links the task library, so this also
// fails when the library is linked into programs again.
TEST(CurlApiLoading, LibraryIsMappedOnlyOnceAskedFor) {
  EXPECT_FALSE(CurlMapped());
  ASSERT_NE(CCurlApi::Get(), nullptr);
  EXPECT_TRUE(CurlMapped());
}

TEST(CurlApiLoading, FirstUseFromManyThreadsGivesOneCompleteInstance) {
  std::vector<const CCurlApi*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = CCurlApi::Get(); });
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (const CCurlApi* p : seen) EXPECT_EQ(p, seen[0]);
  ExpectAllResolved(*seen[0]);
}

TEST(CurlApiLoading, MissingLibraryOrFunctionsLeaveNothingHalfFilled) {
  CCurlApi a;
  ASSERT_TRUE(CCurlApi::Load("libcurl.so.4", a));
  ExpectAllResolved(a);

  // A failed load clears what an earlier one left.
  EXPECT_FALSE(CCurlApi::Load("libvirelomp3-no-such-library.so.0", a));
  ExpectAllEmpty(a);

  // A real library without the functions is refused as a whole.
  ASSERT_TRUE(CCurlApi::Load("libcurl.so.4", a));
  EXPECT_FALSE(CCurlApi::Load("libm.so.6", a));
  ExpectAllEmpty(a);
}

TEST(CurlApiTransfer, PageComesBackThroughThePointers) {
  ScriptedServer srv;
  srv.route("/page", Route::File("<html>through the loader</html>"));
  const CCurlApi* c = CCurlApi::Get();
  ASSERT_NE(c, nullptr);
  CURL* h = c->easy_init();
  ASSERT_NE(h, nullptr);
  curl_slist* list = c->slist_append(nullptr, "X-Probe: one");
  ASSERT_NE(list, nullptr);
  std::string body;
  const std::string url = srv.url("/page");
  // Variadic arguments keep their types through the pointer: long stays long.
  EXPECT_EQ(c->easy_setopt(h, CURLOPT_URL, url.c_str()), CURLE_OK);
  EXPECT_EQ(c->easy_setopt(h, CURLOPT_HTTPHEADER, list), CURLE_OK);
  EXPECT_EQ(c->easy_setopt(h, CURLOPT_NOSIGNAL, 1L), CURLE_OK);
  EXPECT_EQ(c->easy_setopt(h, CURLOPT_TIMEOUT, 20L), CURLE_OK);
  EXPECT_EQ(c->easy_setopt(h, CURLOPT_NOPROXY, "*"), CURLE_OK);
  EXPECT_EQ(c->easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect), CURLE_OK);
  EXPECT_EQ(c->easy_setopt(h, CURLOPT_WRITEDATA, &body), CURLE_OK);
  EXPECT_EQ(c->easy_perform(h), CURLE_OK);
  long status = 0;
  EXPECT_EQ(c->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status), CURLE_OK);
  c->slist_free_all(list);
  c->easy_cleanup(h);

  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, "<html>through the loader</html>");
  auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].header("X-Probe"), "one");
}

TEST(CurlApiTransfer, RobotPageFetchLoadsTheLibraryItself) {
  vtest::TempHome home;
  ScriptedServer srv;
  srv.route("/old", Route::Redirect(302, "/page"));
  srv.route("/page", Route::File("robot page"));
  CRobotInternet robot;
  std::string page, error;
  int code = -1;
  // Run on its own, as ctest runs it, the fetch is the first user.
  ASSERT_TRUE(robot.GetPage(srv.url("/old"), page, code, error)) << error;
  EXPECT_EQ(code, 0);
  EXPECT_EQ(page, "robot page");
  EXPECT_EQ(robot.m_strEffectiveURL, srv.url("/page"));
  EXPECT_TRUE(CurlMapped());
}

}  // namespace
