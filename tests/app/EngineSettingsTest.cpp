// Music server engines in MP3.ini: what the dialog writes, what a load
// selects, and that a file holding a password is its owner's alone.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/EngineSettings.h"
#include "app/IniFile.h"
#include "engine/http/HttpSocket.h"
#include "engine/http/RequestAuth.h"
#include "task/SubsonicServer.h"
#include "tests/app/AppTestUtil.h"

using namespace apptest;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

class EngineSettingsTest : public ::testing::Test {
 protected:
  void TearDown() override { CSubsonicServer::ForgetAll(); }
  TaskSettings Load(const std::string& text) {
    EXPECT_TRUE(vtest::WriteFile(Ini(), text));
    CDownloaderApp app(Quiet(&port));
    return app.GetSettings();
  }
  vtest::TempHome home;
  RecordingPort port;
};

TEST_F(EngineSettingsTest, TheDialogsWriteAddsAnEngineWithATypedPasswordInItsEncodedForm) {
  ASSERT_TRUE(vtest::WriteFile(Ini(), "[Enginee]\nCurSel=1\nCount=1\nEnginee1=" + T("乐听音乐搜索") + "\n"));
  ::chmod(Ini().c_str(), 0644);
  EngineEntry e;
  e.m_strName = T("我的音乐库");
  e.m_strServer = "http://192.168.1.20:4533";
  e.m_strUser = "user1";
  ASSERT_TRUE(CEngineSettings::Write(Ini(), 2, e, "月 pw"));
  EXPECT_EQ(IniRead(Ini(), "Enginee", "Count", "", 10), "2");
  EXPECT_EQ(IniRead(Ini(), "Enginee", "Enginee2_password", "", 512), "enc:e69c88207077");
  EXPECT_EQ(ModeOf(Ini()), 0600u);

  const auto all = CEngineSettings::ReadAll(Ini());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].m_strName, T("乐听音乐搜索"));
  EXPECT_EQ(all[0].m_strServer, "");
  EXPECT_EQ(all[1].m_strName, T("我的音乐库"));
  EXPECT_EQ(CSubsonicServer::DecodePassword(all[1].m_strPassword), "月 pw");

  // Editing without typing a password keeps the stored one; a later write
  // of some other key keeps the file private.
  e.m_strPassword = all[1].m_strPassword;
  e.m_strUser = "user2";
  ASSERT_TRUE(CEngineSettings::Write(Ini(), 2, e, ""));
  EXPECT_EQ(CEngineSettings::Read(Ini(), "2").m_strPassword, all[1].m_strPassword);
  EXPECT_EQ(IniRead(Ini(), "Enginee", "Count", "", 10), "2");
  ASSERT_TRUE(IniWrite(Ini(), "Size", "Blocks", "3"));
  EXPECT_EQ(ModeOf(Ini()), 0600u);

  // Turned back into a page engine: the server keys go, the mode stays.
  e.m_strServer.clear();
  ASSERT_TRUE(CEngineSettings::Write(Ini(), 2, e, "ignored"));
  EXPECT_EQ(IniRead(Ini(), "Enginee", "Enginee2_password", "x", 512), "");
  EXPECT_EQ(IniRead(Ini(), "Enginee", "Enginee2_server", "x", 256), "");
  EXPECT_FALSE(CEngineSettings::Write(Ini(), 0, e, ""));
}

TEST_F(EngineSettingsTest, AFileWithoutAPasswordKeepsItsModeAndAHandWrittenOneIsClosedOnWrite) {
  ASSERT_TRUE(vtest::WriteFile(Ini(), "[Size]\nBlocks=2\n"));
  ::chmod(Ini().c_str(), 0640);
  ASSERT_TRUE(IniWrite(Ini(), "Size", "Blocks", "3"));
  EXPECT_EQ(ModeOf(Ini()), 0640u);
  ASSERT_TRUE(vtest::WriteFile(Ini(), "[Enginee]\nEnginee1_password=secret\n"));
  ::chmod(Ini().c_str(), 0644);
  ASSERT_TRUE(IniWrite(Ini(), "Size", "Blocks", "3"));
  EXPECT_EQ(ModeOf(Ini()), 0600u);
}

TEST_F(EngineSettingsTest, ALoadClosesAFileWithAHandTypedSecret) {
  // Typed in by hand, as the README shows: nothing was written through us.
  const std::string withPassword = "[Enginee]\nCurSel=1\nCount=1\nEnginee1_password=secret\n";
  Load(withPassword);
  ::chmod(Ini().c_str(), 0644);
  Load(withPassword);
  EXPECT_EQ(ModeOf(Ini()), 0600u);

  for (const char* proxy : {"http://me:pw@proxy:3128", "\"me@proxy:3128\""}) {
    Load(std::string("[Network]\nProxy=") + proxy + "\n");
    ::chmod(Ini().c_str(), 0644);
    Load(std::string("[Network]\nProxy=") + proxy + "\n");
    EXPECT_EQ(ModeOf(Ini()), 0600u) << proxy;
  }
  // Nothing secret: the user's choice of mode stays.
  for (const char* text : {"[Network]\nProxy=http://proxy:3128\n", "[Enginee]\nEnginee1_password=\n",
                           "[Other]\nProxy=a@b\n"}) {
    Load(text);
    ::chmod(Ini().c_str(), 0644);
    Load(text);
    EXPECT_EQ(ModeOf(Ini()), 0644u) << text;
  }
}

TEST_F(EngineSettingsTest, ANewFileFollowsTheUmask) {
  const mode_t old = ::umask(077);
  const bool wrote = IniWrite(Ini() + ".new", "Size", "Blocks", "3");
  ::umask(027);
  const bool wrote2 = IniWrite(Ini() + ".two", "Size", "Blocks", "3");
  ::umask(old);
  ASSERT_TRUE(wrote && wrote2);
  EXPECT_EQ(ModeOf(Ini() + ".new"), 0600u);
  EXPECT_EQ(ModeOf(Ini() + ".two"), 0640u);
}

TEST_F(EngineSettingsTest, OnlyTheSelectedServerGetsCredentialsAndTheOthersAreNamed) {
  const std::string ini =
      "[FileType]\nCurSel=.MP3\n[Enginee]\nCurSel=2\nCount=3\nEnginee1=a\nEnginee2=b\n"
      "Enginee2_server=http://127.0.0.1:1\nEnginee2_user=u2\nEnginee2_password=" + T("密") + "\n"
      "Enginee3=c\nEnginee3_server=http://127.0.0.1:9/m/\nEnginee3_user=u3\n"
      "Enginee3_password=enc:7033\n"
      "[.MP3]\nEnginee1_head=http://h/q?k=\n";
  TaskSettings s = Load(ini);
  EXPECT_EQ(s.m_strServer, "http://127.0.0.1:1");
  EXPECT_EQ(s.m_strUser, "u2");
  EXPECT_EQ(s.m_strPassword, T("密"));
  EXPECT_EQ(s.m_otherServers, std::vector<std::string>{"http://127.0.0.1:9/m"});
  // A server not selected gets nothing, not even when asked for a song.
  EXPECT_EQ(CRequestAuth::Decorate("127.0.0.1", 9, "/m/rest/download.view?id=1"), "/m/rest/download.view?id=1");

  // Selecting it: now it does (the version is asked for when first needed;
  // nothing listens there), and the one before does not.
  const size_t at = ini.find("CurSel=2");
  s = Load(ini.substr(0, at) + "CurSel=3" + ini.substr(at + 8));
  EXPECT_EQ(s.m_otherServers, std::vector<std::string>{"http://127.0.0.1:1"});
  ConTimeOut = 1;
  const std::string third = CRequestAuth::Decorate("127.0.0.1", 9, "/m/rest/download.view?id=1");
  const std::string second = CRequestAuth::Decorate("127.0.0.1", 1, "/rest/download.view?id=1");
  ConTimeOut = 5;
  EXPECT_NE(third.find("&u=u3&"), std::string::npos) << third;
  EXPECT_EQ(third.find("p="), std::string::npos);  // the token form first
  EXPECT_EQ(second, "/rest/download.view?id=1");

  // Switching to the page engine clears the server; its head is used.
  s = Load(ini.substr(0, at) + "CurSel=1" + ini.substr(at + 8));
  EXPECT_EQ(s.m_strServer, "");
  EXPECT_EQ(s.m_strSearchHead, "http://h/q?k=");
  EXPECT_EQ(s.m_otherServers.size(), 2u);
  EXPECT_EQ(CRequestAuth::Decorate("127.0.0.1", 9, "/m/rest/download.view?id=1"), "/m/rest/download.view?id=1");
}

}  // namespace
