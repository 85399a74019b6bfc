// MP3.ini: the INI reader and writer, LoadSettings, the settings dialog's
// logic and the size fields' filter.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include "app/SettingsDlgLogic.h"
#include "engine/http/HttpSocket.h"
#include "engine/http/HostLimiter.h"
#include "tests/app/AppTestUtil.h"

using namespace apptest;

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  vtest::TempHome home;
  std::string path = home.home() + "/t.ini";
};

TEST_F(IniFileTest, MissingFileSectionOrKeyGiveTheDefault) {
  EXPECT_EQ(IniRead(path, "A", "k", "dflt", 10), "dflt");
  ASSERT_TRUE(vtest::WriteFile(path, "[A]\nk=1\n"));
  EXPECT_EQ(IniRead(path, "B", "k", "d", 10), "d");
  EXPECT_EQ(IniRead(path, "A", "x", "d", 10), "d");
  EXPECT_EQ(IniRead(path, "", "k", "d", 10), "d");
}

TEST_F(IniFileTest, SectionAndKeyIgnoreCaseAndBlanks) {
  ASSERT_TRUE(vtest::WriteFile(path, "; comment\r\n[ Speed ]\r\n  ConTimeOut =  7 \r\n[Other]\r\nConTimeOut=9\r\n"));
  EXPECT_EQ(IniRead(path, "speed", "CONTIMEOUT", "", 10), "7");
  EXPECT_EQ(IniRead(path, "OTHER", "contimeout", "", 10), "9");
}

TEST_F(IniFileTest, ValueIsCutToTheBufferWithoutSplittingACharacter) {
  std::string gbk = T("中文字");  // six bytes
  ASSERT_TRUE(vtest::WriteFile(path, "[A]\nk=abcdefghijkl\ng=" + gbk + "\n"));
  EXPECT_EQ(IniRead(path, "A", "k", "", 10), "abcdefghi");
  EXPECT_EQ(IniRead(path, "A", "g", "", 4), T("中"));  // 3 bytes room: one character
  EXPECT_EQ(IniRead(path, "A", "k", "", 1), "");
}

TEST_F(IniFileTest, WriteReplacesOneValueAndKeepsEveryOtherLine) {
  const std::string before = "; keep me\r\n[Size]\r\nMinSize=1\r\nmaxsize=20\r\n\r\n[Speed]\r\nCheckSpeed=1\r\n";
  ASSERT_TRUE(vtest::WriteFile(path, before));
  ASSERT_TRUE(IniWrite(path, "size", "MAXSIZE", "30"));
  EXPECT_EQ(vtest::ReadFile(path), "; keep me\r\n[Size]\r\nMinSize=1\r\nMAXSIZE=30\r\n\r\n[Speed]\r\nCheckSpeed=1\r\n");
  ASSERT_TRUE(IniWrite(path, "Size", "Blocks", "3"));
  ASSERT_TRUE(IniWrite(path, "Update", "Version", "2.0"));
  EXPECT_EQ(vtest::ReadFile(path),
            "; keep me\r\n[Size]\r\nMinSize=1\r\nMAXSIZE=30\r\nBlocks=3\r\n\r\n[Speed]\r\nCheckSpeed=1\r\n"
            "[Update]\r\nVersion=2.0\r\n");
  // Nothing but the file itself is left in the folder.
  int files = 0;
  for (auto& entry : std::filesystem::directory_iterator(home.home())) files += entry.is_regular_file();
  EXPECT_EQ(files, 1);
}

TEST_F(IniFileTest, WriteCreatesTheFileAndFailsCleanlyWhereItCannot) {
  ASSERT_TRUE(IniWrite(path, "A", "k", ""));
  EXPECT_EQ(vtest::ReadFile(path), "[A]\nk=\n");
  EXPECT_EQ(IniRead(path, "A", "k", "d", 10), "");  // present but empty is not the default
  EXPECT_FALSE(IniWrite(home.home() + "/no/such/dir/x.ini", "A", "k", "v"));
}

TEST(IniNumbers, LeadingNumberRules) {
  EXPECT_EQ(IniToInt("  42abc"), 42);
  EXPECT_EQ(IniToInt("-7"), -7);
  EXPECT_EQ(IniToInt("+3"), 3);
  EXPECT_EQ(IniToInt("abc"), 0);
  EXPECT_EQ(IniToInt(""), 0);
  EXPECT_EQ(IniToInt("99999999999"), INT_MAX);
  EXPECT_DOUBLE_EQ(IniToDouble("2.01"), 2.01);
  EXPECT_DOUBLE_EQ(IniToDouble("2.0.1"), 2.0);
  EXPECT_DOUBLE_EQ(IniToDouble(" .5x"), 0.5);
  EXPECT_DOUBLE_EQ(IniToDouble("1e2"), 100.0);
  EXPECT_DOUBLE_EQ(IniToDouble("3e"), 3.0);
  EXPECT_DOUBLE_EQ(IniToDouble("inf"), 0.0);
  EXPECT_DOUBLE_EQ(IniToDouble("."), 0.0);
  EXPECT_EQ(IniToDouble("2.10"), IniToDouble("2.1"));
}

TEST(IniNumbers, MegabytesTruncateAndSaturate) {
  EXPECT_EQ(MegabytesToBytes("1.5"), 1572864);
  EXPECT_EQ(MegabytesToBytes("20"), 20971520);
  EXPECT_EQ(MegabytesToBytes("abc"), 0);
  EXPECT_EQ(MegabytesToBytes("0.0000001"), 0);
  EXPECT_EQ(MegabytesToBytes("2047.9"), 2147378790);
  EXPECT_EQ(MegabytesToBytes("2048"), INT_MAX);
  EXPECT_EQ(MegabytesToBytes("9999"), INT_MAX);
  EXPECT_EQ(MegabytesToBytes("-9999"), INT_MIN);
  EXPECT_EQ(MegabytesToBytes("1e400"), INT_MAX);
}

class LoadSettingsTest : public ::testing::Test {
 protected:
  TaskSettings Load(const std::string& ini) {
    EXPECT_TRUE(vtest::WriteFile(Ini(), ini));
    CDownloaderApp app(Quiet(&port));
    return app.GetSettings();
  }
  vtest::TempHome home;
  RecordingPort port;
};

TEST_F(LoadSettingsTest, EmptyFileGivesTheBuiltInValues) {
  ConTimeOut = 0;
  GetTimeOut = 0;
  TaskSettings s = Load("");
  EXPECT_EQ(s.m_strFileType, ".MP3");
  EXPECT_EQ(s.m_strSearchHead, "");
  EXPECT_EQ(s.m_strSearchTail, "");
  EXPECT_EQ(s.m_nMinSize, 1048576);
  EXPECT_EQ(s.m_nMaxSize, 20971520);
  EXPECT_EQ(s.m_nBlocks, 2);
  EXPECT_TRUE(s.m_bCheckSpeed);
  EXPECT_FALSE(s.m_bPreferQuality);  // the fastest link, as always
  EXPECT_EQ(ConTimeOut.load(), 5);
  EXPECT_EQ(GetTimeOut.load(), 15);
}

TEST_F(LoadSettingsTest, EveryKeyIsRead) {
  TaskSettings s = Load(
      "[FileType]\nCurSel=.WMA\n[Enginee]\nCurSel=2\n"
      "[.WMA]\nEnginee2_head=http://h/q?k=\nEnginee2_tail=&t=1\nEnginee0_head=wrong\n"
      "[Size]\nMinSize=1.5\nMaxSize=abc\nBlocks=3\n"
      "[Speed]\nCheckSpeed=0\nConTimeOut=2\nGetTimeOut=9\nPreferQuality=1\n");
  EXPECT_EQ(s.m_strFileType, ".WMA");
  EXPECT_EQ(s.m_strSearchHead, "http://h/q?k=");
  EXPECT_EQ(s.m_strSearchTail, "&t=1");
  EXPECT_EQ(s.m_nMinSize, 1572864);
  EXPECT_EQ(s.m_nMaxSize, 0);
  EXPECT_EQ(s.m_nBlocks, 3);
  EXPECT_FALSE(s.m_bCheckSpeed);
  EXPECT_TRUE(s.m_bPreferQuality);
  EXPECT_EQ(ConTimeOut.load(), 2);
  EXPECT_EQ(GetTimeOut.load(), 9);
}

// The per-host limit is program-wide: every load sets it, a missing or
// unreadable value restores the default, numbers past the range are clamped.
TEST_F(LoadSettingsTest, HostConnectionsSetsTheProgramWideCeiling) {
  HostLimiter& limiter = HostLimiter::Instance();
  Load("[Speed]\nHostConnections=2\n");
  EXPECT_EQ(limiter.Ceiling(), 2);
  Load("");
  EXPECT_EQ(limiter.Ceiling(), HostLimiter::kDefaultLimit);
  Load("[Speed]\nHostConnections=40\n");
  EXPECT_EQ(limiter.Ceiling(), HostLimiter::kMaxLimit);
  Load("[Speed]\nHostConnections=0\n");
  EXPECT_EQ(limiter.Ceiling(), HostLimiter::kMinLimit);
  Load("[Speed]\nHostConnections=many\n");
  EXPECT_EQ(limiter.Ceiling(), HostLimiter::kDefaultLimit);
  limiter.SetCeiling(HostLimiter::kDefaultLimit);
}

TEST_F(LoadSettingsTest, WithoutEngineSelectionTheEnginee0KeysApply) {
  TaskSettings s = Load("[FileType]\nCurSel=.MP3\n[.MP3]\nEnginee0_head=H0\nEnginee0_tail=T0\nEnginee1_head=H1\n");
  EXPECT_EQ(s.m_strSearchHead, "H0");
  EXPECT_EQ(s.m_strSearchTail, "T0");
}

TEST_F(LoadSettingsTest, EngineSelectionIsUsedAsWrittenNotReformatted) {
  TaskSettings s = Load("[FileType]\nCurSel=.MP3\n[Enginee]\nCurSel=02\n[.MP3]\nEnginee2_head=two\nEnginee02_head=oh-two\n");
  EXPECT_EQ(s.m_strSearchHead, "oh-two");
}

TEST_F(LoadSettingsTest, HeadAndTailAreCutToNinetyNineBytes) {
  TaskSettings s = Load("[FileType]\nCurSel=.MP3\n[.MP3]\nEnginee0_head=" + std::string(150, 'h') + "\n");
  EXPECT_EQ(s.m_strSearchHead, std::string(99, 'h'));
}

TEST_F(LoadSettingsTest, BlockCountIsClampedToOneToFive) {
  EXPECT_EQ(Load("[Size]\nBlocks=7\n").m_nBlocks, 5);
  EXPECT_EQ(Load("[Size]\nBlocks=0\n").m_nBlocks, 1);
  EXPECT_EQ(Load("[Size]\nBlocks=-3\n").m_nBlocks, 1);
  EXPECT_EQ(Load("[Size]\nBlocks=x\n").m_nBlocks, 1);
}

TEST_F(LoadSettingsTest, HugeSizesSaturateInsteadOfOverflowing) {
  TaskSettings s = Load("[Size]\nMinSize=9999\nMaxSize=2048\n");
  EXPECT_EQ(s.m_nMinSize, INT_MAX);
  EXPECT_EQ(s.m_nMaxSize, INT_MAX);
}

TEST_F(LoadSettingsTest, ReloadKeepsValuesWhoseKeysWentEmpty) {
  ASSERT_TRUE(vtest::WriteFile(Ini(), "[FileType]\nCurSel=.RM\n[Size]\nBlocks=4\nMinSize=3\n[Speed]\nConTimeOut=8\n"));
  CDownloaderApp app(Quiet(&port));
  ASSERT_TRUE(vtest::WriteFile(Ini(), "[FileType]\nCurSel=\n[Size]\nBlocks=\n"));
  app.LoadSettings();
  TaskSettings s = app.GetSettings();
  EXPECT_EQ(s.m_strFileType, ".RM");
  EXPECT_EQ(s.m_nBlocks, 4);
  EXPECT_EQ(s.m_nMinSize, 3 * 1048576);
  // The time-outs are set on every load, from their defaults when missing.
  EXPECT_EQ(ConTimeOut.load(), 5);
}

// --- The settings dialog ---------------------------------------------------------

class SettingsDlgTest : public ::testing::Test {
 protected:
  vtest::TempHome home;
  RecordingPort port;
};

TEST_F(SettingsDlgTest, NoFileOpensWithEmptyListsAndDefaultTimeOuts) {
  SettingsDlgFields f = LoadSettingsDlg(Ini());
  EXPECT_TRUE(f.engines.empty());
  EXPECT_EQ(f.nEngineSel, -1);
  EXPECT_TRUE(f.fileTypes.empty());
  EXPECT_EQ(f.nFileTypeSel, -1);
  EXPECT_EQ(f.blockItems, (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(f.nBlocksSel, -1);
  EXPECT_EQ(f.strMinSize, "");
  EXPECT_EQ(f.strMaxSize, "");
  EXPECT_TRUE(f.bCheckSpeed);
  EXPECT_EQ(f.strConTimeOut, "5");
  EXPECT_EQ(f.strGetTimeOut, "15");
}

TEST_F(SettingsDlgTest, FieldsComeFromTheFile) {
  ASSERT_TRUE(vtest::WriteFile(Ini(),
                               "[Enginee]\nCurSel=2\nCount=2\nEnginee1=" + T("搜索一") + "\nEnginee2=" + T("搜索二") +
                                   "\n[FileType]\nCurSel=.WMA\nCount=3\nExtName1=.MP3\nExtName2=.WMA\nExtName3=.RM\n"
                                   "[Size]\nMinSize=1.5\nMaxSize=12.5\nBlocks=3\n[Speed]\nCheckSpeed=0\nConTimeOut=4\n"));
  SettingsDlgFields f = LoadSettingsDlg(Ini());
  EXPECT_EQ(f.engines, (std::vector<std::string>{T("搜索一"), T("搜索二")}));
  EXPECT_EQ(f.nEngineSel, 1);
  EXPECT_EQ(f.EngineText(), T("搜索二"));
  EXPECT_EQ(f.nFileTypeSel, 1);
  EXPECT_EQ(f.FileTypeText(), ".WMA");
  EXPECT_EQ(f.nBlocksSel, 2);
  EXPECT_EQ(f.BlocksText(), "3");
  EXPECT_EQ(f.strMinSize, "1.5");
  EXPECT_EQ(f.strMaxSize, "12.5");
  EXPECT_FALSE(f.bCheckSpeed);
  EXPECT_EQ(f.strConTimeOut, "4");
  EXPECT_EQ(f.strGetTimeOut, "15");
}

TEST_F(SettingsDlgTest, UnmatchedSelectionsSelectNothing) {
  ASSERT_TRUE(vtest::WriteFile(Ini(), "[Enginee]\nCount=1\nEnginee1=e\n[FileType]\nCurSel=.OGG\nCount=1\nExtName1=.MP3\n"
                                      "[Size]\nBlocks=7\n"));
  SettingsDlgFields f = LoadSettingsDlg(Ini());
  EXPECT_EQ(f.nEngineSel, -1);  // CurSel missing: "0" - 1
  EXPECT_EQ(f.nFileTypeSel, -1);
  EXPECT_EQ(f.FileTypeText(), "");
  EXPECT_EQ(f.nBlocksSel, -1);
}

TEST_F(SettingsDlgTest, LaterEqualFileTypeEntryWins) {
  ASSERT_TRUE(vtest::WriteFile(Ini(), "[FileType]\nCurSel=.MP3\nCount=3\nExtName1=.MP3\nExtName2=.RM\nExtName3=.MP3\n"));
  EXPECT_EQ(LoadSettingsDlg(Ini()).nFileTypeSel, 2);
}

TEST_F(SettingsDlgTest, ConfirmWritesEveryKeyInOrderAndReloads) {
  CDownloaderApp app(Quiet(&port));
  SettingsDlgInput in;
  in.nEngineSel = -1;
  in.strFileType = ".RM";
  in.strBlocks = "4";  // typed into the editable combo
  in.strMinSize = "0.5";
  in.strMaxSize = "9999";
  in.bCheckSpeed = false;
  in.strConTimeOut = "3";
  in.strGetTimeOut = "20";
  in.strHostConnections = "4";
  in.bPreferQuality = true;
  EXPECT_EQ(ConfirmSettingsDlg(Ini(), in, &app), "");
  EXPECT_EQ(vtest::ReadFile(Ini()),
            "[Size]\nMinSize=0.5\nMaxSize=9999\nBlocks=4\n[Speed]\nCheckSpeed=0\nConTimeOut=3\nGetTimeOut=20\n"
            "HostConnections=4\nPreferQuality=1\n"
            "[Network]\nProxy=\n[FileType]\nCurSel=.RM\n[Enginee]\nCurSel=0\n");
  TaskSettings s = app.GetSettings();
  EXPECT_EQ(s.m_strFileType, ".RM");
  EXPECT_EQ(s.m_nBlocks, 4);
  EXPECT_EQ(s.m_nMinSize, 524288);
  EXPECT_EQ(s.m_nMaxSize, INT_MAX);
  EXPECT_FALSE(s.m_bCheckSpeed);
  EXPECT_TRUE(s.m_bPreferQuality);
  EXPECT_TRUE(LoadSettingsDlg(Ini()).bPreferQuality);
  EXPECT_EQ(GetTimeOut.load(), 20);
  EXPECT_EQ(HostLimiter::Instance().Ceiling(), 4);
  HostLimiter::Instance().SetCeiling(HostLimiter::kDefaultLimit);
}

TEST_F(SettingsDlgTest, RefusedConfirmWritesNothing) {
  CDownloaderApp app(Quiet(&port));
  SettingsDlgInput in;
  in.strBlocks = "7";
  EXPECT_EQ(ConfirmSettingsDlg(Ini(), in, &app), T(txt::kBlocksOutOfRange));
  in.strBlocks = "5";
  in.strMinSize = "30";  // above the 20 MB maximum in effect
  EXPECT_EQ(ConfirmSettingsDlg(Ini(), in, &app), T(txt::kMinAboveMax));
  EXPECT_EQ(vtest::ReadFile(Ini()), "");
  EXPECT_EQ(app.GetSettings().m_nMinSize, 1048576);
}

TEST_F(SettingsDlgTest, ConfirmWithoutChoicesKeepsTypeAndBlocksInEffect) {
  ASSERT_TRUE(vtest::WriteFile(Ini(), "[FileType]\nCurSel=.WMA\n[Size]\nBlocks=4\n[Enginee]\nCurSel=1\n"));
  CDownloaderApp app(Quiet(&port));
  SettingsDlgInput in;  // nothing chosen, nothing typed
  in.nEngineSel = 1;
  ConfirmSettingsDlg(Ini(), in, &app);
  EXPECT_EQ(IniRead(Ini(), "FileType", "CurSel", "x", 10), "");
  EXPECT_EQ(IniRead(Ini(), "Enginee", "CurSel", "x", 10), "2");
  TaskSettings s = app.GetSettings();
  EXPECT_EQ(s.m_strFileType, ".WMA");
  EXPECT_EQ(s.m_nBlocks, 4);
}

TEST(NumberEdit, TypedCharacters) {
  // What can be typed from an empty field.
  for (const char* typed : {"20", "1.5", "0.5", "100", "12.5"}) {
    std::string text;
    for (const char* c = typed; *c; ++c) {
      ASSERT_TRUE(NumberEditAccepts(text, *c)) << typed;
      text += *c;
    }
  }
  EXPECT_FALSE(NumberEditAccepts("", '.'));      // no leading point
  EXPECT_FALSE(NumberEditAccepts("1234", '5'));  // four characters at most
  EXPECT_FALSE(NumberEditAccepts("12.5", '5'));
  EXPECT_FALSE(NumberEditAccepts("1.5", '.'));   // one point only
  EXPECT_FALSE(NumberEditAccepts("123", '.'));   // a point cannot be fourth
  EXPECT_FALSE(NumberEditAccepts("1", 'a'));
  EXPECT_FALSE(NumberEditAccepts("1", '-'));
  EXPECT_TRUE(NumberEditAccepts("12.5", '\b'));  // backspace always acts
  EXPECT_TRUE(NumberEditAccepts("", '\b'));
}

}  // namespace
