// The update host: the count page and the published version file.
#include <gmock/gmock.h>

#include "tests/server/ServerHarness.h"

using namespace harness;

namespace {

class UpdateHostTest : public ServerTest {};

TEST_F(UpdateHostTest, PublishesVersion20WhenTheRootHasNoFile) {
  StartServer();
  Reply r = Get(m_port, "/update/update.ini");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "[MP3]\r\nVERSION=2.0\r\n");
}

TEST_F(UpdateHostTest, PublishesTheRootsFileAsSoonAsItChanges) {
  WriteFile(m_root + "/update/update.ini", "[MP3]\nVERSION=2.01\n");
  StartServer();
  EXPECT_EQ(Get(m_port, "/update/update.ini").body, "[MP3]\nVERSION=2.01\n");
  WriteFile(m_root + "/update/update.ini", "[MP3]\nVERSION=3\n");
  EXPECT_EQ(Get(m_port, "/update/update.ini").body, "[MP3]\nVERSION=3\n");
}

TEST_F(UpdateHostTest, CountPageIsAShortGbkPageAndIgnoresQueries) {
  StartServer();
  for (std::string target : {"/count.asp", "/count.asp?x=1"}) {
    Reply r = Get(m_port, target);
    ASSERT_EQ(r.status, 200) << target;
    EXPECT_EQ(r.Header("content-type"), "text/html; charset=gbk");
    EXPECT_LT(r.body.size(), 4096u);
    EXPECT_THAT(Utf8(r.body), ::testing::HasSubstr("感谢使用"));
  }
}

}  // namespace
