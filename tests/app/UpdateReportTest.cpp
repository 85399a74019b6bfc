// What the updater tells the user, read from a real version file served on
// loopback, and how it tells an installed copy from one beside its files.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/UpdateReport.h"
#include "app/VersionOrder.h"
#include "res/Texts.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines)
    if (l == line) return true;
  return false;
}

class UpdateReportTest : public ::testing::Test {
 protected:
  void Publish(const std::string& body) { srv.route("/update/update.ini", vtest::Route::File(body)); }
  std::string Program() const { return home.home() + "/virelomp3"; }

  vtest::TempHome home;
  vtest::ScriptedServer srv;
};

TEST_F(UpdateReportTest, NewerVersionSaysWhereToGetIt) {
  Publish("[MP3]\r\nVERSION=2.91\r\n");
  const UpdateFindings found = FindUpdate(srv.url("/update/update.ini"), Program());
  EXPECT_EQ(found.m_strPublished, "2.91");
  EXPECT_FALSE(found.m_bFromPackage);
  const auto lines = UpdateReportLines("2.9", found);
  EXPECT_TRUE(Has(lines, "已发布的版本: 2.91"));
  EXPECT_TRUE(Has(lines, txt::kUpdateNewer));
  EXPECT_TRUE(Has(lines, "下载地址: " + srv.url("/update/")));
}

// Versions are decimals, the order the program itself starts the updater
// by: the report must not announce what the program will never install.
TEST(VersionOrderTest, VersionsReadAsDecimals) {
  EXPECT_FALSE(VersionOrder::IsNewer("2.10", "2.9"));
  EXPECT_TRUE(VersionOrder::IsNewer("2.9", "2.10"));
  EXPECT_TRUE(VersionOrder::IsNewer("3", "2.99"));
  EXPECT_FALSE(VersionOrder::IsNewer("2", "2.0"));
  EXPECT_FALSE(VersionOrder::IsNewer("2.0", "2.00"));
  EXPECT_TRUE(VersionOrder::IsNewer(" 2.5", "2.4"));
  // What is not a number reads as 0: never newer than a real version.
  EXPECT_FALSE(VersionOrder::IsNewer("beta", "2.0"));
  EXPECT_TRUE(VersionOrder::IsNewer("2.0", "beta"));
  EXPECT_FALSE(VersionOrder::IsNewer("", ""));
}

TEST_F(UpdateReportTest, ReportAgreesWithTheDecimalOrder) {
  Publish("[MP3]\r\nVERSION=2.10\r\n");
  const UpdateFindings found = FindUpdate(srv.url("/update/update.ini"), Program());
  const auto lines = UpdateReportLines("2.9", found);
  EXPECT_TRUE(Has(lines, txt::kUpdateCurrent));
  EXPECT_FALSE(Has(lines, txt::kUpdateNewer));
}

TEST_F(UpdateReportTest, PublishedAddressAndCurrentVersion) {
  Publish("[mp3]\nversion=2.0\nURL=http://127.0.0.1/get/\n");
  const UpdateFindings found = FindUpdate(srv.url("/update/update.ini"), Program());
  EXPECT_EQ(found.m_strWhere, "http://127.0.0.1/get/");
  const auto lines = UpdateReportLines("2.0", found);
  EXPECT_TRUE(Has(lines, txt::kUpdateCurrent));
  for (const std::string& l : lines) EXPECT_EQ(l.find("下载地址"), std::string::npos) << l;
}

TEST_F(UpdateReportTest, NoVersionFileSaysWhy) {
  srv.route("/update/update.ini", vtest::Route::Raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"));
  const UpdateFindings missing = FindUpdate(srv.url("/update/update.ini"), Program());
  EXPECT_TRUE(missing.m_strPublished.empty());
  EXPECT_FALSE(missing.m_strError.empty());
  const auto lines = UpdateReportLines("2.0", missing);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("无法取得版本信息: ", 0), 0u) << lines[1];

  Publish("no version here");
  EXPECT_TRUE(FindUpdate(srv.url("/update/update.ini"), Program()).m_strPublished.empty());
}

TEST_F(UpdateReportTest, InstalledCopyIsUpdatedByThePackageManager) {
  const fs::path root = fs::path(home.home()) / "root";
  fs::create_directories(root / "bin");
  fs::create_directories(root / "share" / "virelomp3");
  const std::string program = (root / "bin" / "virelomp3").string();
  EXPECT_FALSE(IsPackagedLayout(program));
  vtest::WriteFile((root / "share" / "virelomp3" / "MP3.ini").string(), "[Update]\n");
  EXPECT_TRUE(IsPackagedLayout(program));
  // Settings beside the program: a copy run from its own folder.
  vtest::WriteFile((root / "bin" / "MP3.ini").string(), "[Update]\n");
  EXPECT_FALSE(IsPackagedLayout(program));
  fs::remove(root / "bin" / "MP3.ini");

  Publish("[MP3]\r\nVERSION=3.0\r\n");
  const auto lines = UpdateReportLines("2.0", FindUpdate(srv.url("/update/update.ini"), program));
  EXPECT_TRUE(Has(lines, txt::kUpdateFromPackage));
  for (const std::string& l : lines) EXPECT_EQ(l.find("下载地址"), std::string::npos) << l;
}

}  // namespace
