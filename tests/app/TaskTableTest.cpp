// The task table and downing.dat, without a scheduler: adding, re-queueing,
// limits, removal, saving and loading, and the single-instance lock.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include "engine/record/RecordFile.h"
#include "tests/app/AppTestUtil.h"

using namespace apptest;

namespace {

class TaskTableTest : public ::testing::Test {
 protected:
  std::vector<std::string> Names() { return app->GetTaskNames(); }
  TaskEntry Entry(const std::string& name) {
    TaskEntry e{};
    EXPECT_TRUE(app->ReadEntry(name, e)) << name;
    return e;
  }
  vtest::TempHome home;
  RecordingPort port;
  std::unique_ptr<CDownloaderApp> app = std::make_unique<CDownloaderApp>(Quiet(&port));
};

TEST_F(TaskTableTest, SeparatorsAndBlanks) {
  EXPECT_TRUE(app->AddTasks("  a;b \t\n"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "b"}));
  app->RemoveAllTasks();
  EXPECT_TRUE(app->AddTasks("a"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"a"}));
  app->RemoveAllTasks();
  // Pieces are not trimmed one by one; an empty piece is an empty name.
  EXPECT_TRUE(app->AddTasks("a;;b"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "", "b"}));
  app->RemoveAllTasks();
  EXPECT_TRUE(app->AddTasks("x ; y;"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"x ", " y"}));
  EXPECT_TRUE(port.Messages().empty());
}

TEST_F(TaskTableTest, BlankTextIsRefusedWithAMessage) {
  EXPECT_FALSE(app->AddTasks(" \t "));
  EXPECT_FALSE(app->AddTasks(""));
  EXPECT_EQ(port.Count(T(txt::kSongNameEmpty)), 2);
  EXPECT_EQ(app->GetTaskCount(), 0);
}

TEST_F(TaskTableTest, AtMostTenNamesACall) {
  EXPECT_TRUE(app->AddTasks("n1;n2;n3;n4;n5;n6;n7;n8;n9;n10;n11;n12"));
  std::vector<std::string> want;
  for (int i = 1; i <= 10; ++i) want.push_back("n" + std::to_string(i));
  EXPECT_EQ(Names(), want);
}

TEST_F(TaskTableTest, NewEntriesAreQueuedWithTheBlockCount) {
  ASSERT_TRUE(vtest::WriteFile(Ini(), "[Size]\nBlocks=3\n"));
  app->LoadSettings();
  EXPECT_EQ(app->AddTask("song"), 0);
  TaskEntry e = Entry("song");
  EXPECT_EQ(State(e), "act");
  EXPECT_EQ(Text(e.m_szBlocks, 11), "3");
  EXPECT_EQ(Text(e.m_szAddress, 151), "");
  EXPECT_EQ(Text(e.m_szRetries, 11), "");
}

TEST_F(TaskTableTest, ExistingNameIsRequeuedAndKeepsItsTexts) {
  ASSERT_EQ(app->AddTask("song"), 0);
  app->EditEntry("song", [](TaskEntry& e) {
    SetEntryText(e.m_szState, "run");
    SetEntryText(e.m_szAddress, "http://h/x.mp3");
    SetEntryText(e.m_szSize, "3,456KB");
  });
  EXPECT_EQ(app->AddTask("song"), -1);
  TaskEntry e = Entry("song");
  EXPECT_EQ(State(e), "act");
  EXPECT_EQ(Text(e.m_szAddress, 151), "http://h/x.mp3");
  EXPECT_EQ(Text(e.m_szSize, 11), "3,456KB");
  EXPECT_EQ(app->GetTaskCount(), 1);
}

TEST_F(TaskTableTest, HundredAndFirstNameIsRefusedAndTheRestDropped) {
  for (int i = 0; i < 99; ++i) ASSERT_EQ(app->AddTask("t" + std::to_string(i)), 0);
  EXPECT_TRUE(app->AddTasks("last;over;more"));
  EXPECT_EQ(app->GetTaskCount(), 100);
  EXPECT_EQ(port.Count(T(txt::kTooManyTasks)), 1);
  TaskEntry e{};
  EXPECT_FALSE(app->ReadEntry("over", e));
  EXPECT_FALSE(app->ReadEntry("more", e));
  // A known name is still re-queued when the table is full.
  EXPECT_EQ(app->AddTask("t5"), -1);
}

TEST_F(TaskTableTest, FreedSlotIsTakenByTheNextNewName) {
  ASSERT_TRUE(app->AddTasks("s0;s1;s2;s3;s4"));
  app->RemoveTask("s3");
  EXPECT_EQ(app->GetTaskCount(), 4);
  ASSERT_EQ(app->AddTask("new"), 0);
  std::vector<SlotEntry> slots = app->GetSlotEntries();
  ASSERT_EQ(slots.size(), 5u);
  EXPECT_EQ(slots[3].nSlot, 3);
  EXPECT_EQ(Name(slots[3].entry), "new");
  EXPECT_EQ(Name(slots[4].entry), "s4");
}

TEST_F(TaskTableTest, SlotOrderWithHoles) {
  ASSERT_TRUE(app->AddTasks("a;b;c;d"));
  app->RemoveTask("a");
  app->RemoveTask("c");
  std::vector<SlotEntry> slots = app->GetSlotEntries();
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_EQ(slots[0].nSlot, 1);
  EXPECT_EQ(slots[1].nSlot, 3);
  app->RemoveTask("nobody");  // a name in no table does nothing
  EXPECT_EQ(app->GetTaskCount(), 2);
}

TEST_F(TaskTableTest, LongNamesAreCutOnACharacterBoundary) {
  // 49 ASCII bytes and then a two-byte character: the character does not fit.
  std::string longName = std::string(49, 'x') + T("歌") + "tail";
  ASSERT_EQ(app->AddTask(longName), 0);
  std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], std::string(49, 'x'));
  // The same long name finds the cut entry again.
  EXPECT_EQ(app->AddTask(longName), -1);
  EXPECT_EQ(app->GetTaskCount(), 1);
  std::string fifty = std::string(48, 'y') + T("歌") + "z";
  ASSERT_EQ(app->AddTask(fifty), 0);
  EXPECT_EQ(Names()[1], std::string(48, 'y') + T("歌"));
}

// --- downing.dat ---------------------------------------------------------------------

TEST_F(TaskTableTest, SaveKeepsRecordOrderAndRefreshesTexts) {
  app.reset();
  ASSERT_TRUE(WriteRecords(TaskListPath(), {MakeEntry("B", "old-b", "http://b"), MakeEntry("D", "old-d", "x"),
                                            MakeEntry("A", "old-a", "y")}));
  app = std::make_unique<CDownloaderApp>(Quiet(&port));
  app->RemoveAllTasks();
  ASSERT_TRUE(app->AddTasks("A;B;C"));
  for (const char* n : {"A", "B", "C"}) {
    app->EditEntry(n, [n](TaskEntry& e) { SetEntryText(e.m_szSize, std::string("new-") + n); });
  }
  app->SaveTaskList();
  std::vector<TaskEntry> recs = ReadRecords(TaskListPath());
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(Name(recs[0]), "B");
  EXPECT_EQ(Name(recs[1]), "A");
  EXPECT_EQ(Name(recs[2]), "C");
  for (const TaskEntry& r : recs) {
    EXPECT_EQ(Text(r.m_szSize, 11), "new-" + Name(r));
    EXPECT_EQ(State(r), "act");
    EXPECT_EQ(Text(r.m_szAddress, 151), "");
  }
  EXPECT_FALSE(std::filesystem::exists(TaskListPath() + ".new"));
}

TEST_F(TaskTableTest, ReAddedTaskGoesToTheEnd) {
  ASSERT_TRUE(app->AddTasks("A;B;C"));
  app->SaveTaskList();
  app->RemoveTask("A");
  app->SaveTaskList();
  ASSERT_EQ(app->AddTask("A"), 0);  // back into slot 0
  app->SaveTaskList();
  EXPECT_EQ(RecordNames(TaskListPath()), (std::vector<std::string>{"B", "C", "A"}));
}

TEST_F(TaskTableTest, SaveOfAnEmptyTableEmptiesTheFile) {
  ASSERT_TRUE(app->AddTasks("A;B"));
  app->SaveTaskList();
  app->RemoveAllTasks();
  EXPECT_EQ(RecordNames(TaskListPath()).size(), 2u);  // removing touches no file
  app->SaveTaskList();
  EXPECT_EQ(vtest::ReadFile(TaskListPath()), "");
}

TEST_F(TaskTableTest, AfterARestartEveryEntryIsStopped) {
  ASSERT_TRUE(app->AddTasks("A;B;C"));
  app->EditEntry("B", [](TaskEntry& e) {
    SetEntryText(e.m_szState, "run");
    SetEntryText(e.m_szAddress, "http://h/b.mp3");
    SetEntryText(e.m_szElapsed, "12m:5s");
    SetEntryText(e.m_szRetries, "2");
  });
  app->SaveTaskList();
  app.reset();
  app = std::make_unique<CDownloaderApp>(Quiet(&port));
  std::vector<TaskEntry> entries = app->GetEntriesInSlotOrder();
  ASSERT_EQ(entries.size(), 3u);
  for (const TaskEntry& e : entries) EXPECT_EQ(State(e), "stop");
  EXPECT_EQ(Text(entries[1].m_szAddress, 151), "http://h/b.mp3");
  EXPECT_EQ(Text(entries[1].m_szElapsed, 11), "12m:5s");
  EXPECT_EQ(Text(entries[1].m_szRetries, 11), "2");
  EXPECT_EQ(app->GetActiveCount(), 0);
}

TEST_F(TaskTableTest, LoadTakesTheFirstHundredAndTheNextSaveDropsTheRest) {
  app.reset();
  std::vector<TaskEntry> many;
  for (int i = 0; i < 103; ++i) many.push_back(MakeEntry("r" + std::to_string(i), "", ""));
  std::string bytes;
  for (const TaskEntry& e : many) bytes.append(reinterpret_cast<const char*>(&e), sizeof e);
  bytes += "partial";  // a trailing piece of a record is ignored
  ASSERT_TRUE(vtest::WriteFile(TaskListPath(), bytes));
  app = std::make_unique<CDownloaderApp>(Quiet(&port));
  EXPECT_EQ(app->GetTaskCount(), 100);
  app->SaveTaskList();
  std::vector<std::string> names = RecordNames(TaskListPath());
  ASSERT_EQ(names.size(), 100u);
  EXPECT_EQ(names.back(), "r99");
}

TEST_F(TaskTableTest, FailedSaveLeavesTheFileAsItWas) {
  ASSERT_TRUE(app->AddTasks("A;B;C"));
  app->SaveTaskList();
  const std::string before = vtest::ReadFile(TaskListPath());
  app->RemoveTask("A");  // the next save has to delete a record
  // Deleting a record needs its scratch file beside downing.dat; a folder
  // in its place makes every delete fail, even for root.
  const std::string scratch = home.home() + "/d001.tmp";
  ASSERT_EQ(mkdir(scratch.c_str(), 0700), 0);
  app->SaveTaskList();
  ASSERT_EQ(rmdir(scratch.c_str()), 0);
  EXPECT_EQ(vtest::ReadFile(TaskListPath()), before);
  EXPECT_FALSE(std::filesystem::exists(TaskListPath() + ".new"));
  app->SaveTaskList();
  EXPECT_EQ(RecordNames(TaskListPath()), (std::vector<std::string>{"B", "C"}));
}

TEST_F(TaskTableTest, UnopenableTaskListShowsTheRecordFileMessage) {
  app.reset();
  std::filesystem::remove(TaskListPath());
  ASSERT_EQ(mkdir(TaskListPath().c_str(), 0700), 0);  // a folder where the file should be
  app = std::make_unique<CDownloaderApp>(Quiet(&port));
  EXPECT_EQ(app->GetTaskCount(), 0);
  std::vector<std::string> msgs = port.Messages();
  ASSERT_FALSE(msgs.empty());
  EXPECT_NE(GbkToUtf8(msgs[0]).find("创建失败"), std::string::npos);
}

// --- One copy per program directory ------------------------------------------------

TEST_F(TaskTableTest, SecondCopyIsRefusedAndTouchesNothing) {
  ASSERT_TRUE(app->AddTasks("A;B"));
  app->SaveTaskList();
  const std::string before = vtest::ReadFile(TaskListPath());
  {
    RecordingPort port2;
    CDownloaderApp second(Quiet(&port2, true));
    EXPECT_TRUE(second.IsRefused());
    EXPECT_EQ(second.GetTaskCount(), 0);
    EXPECT_FALSE(second.AddTasks("C"));
    second.SaveTaskList();
    second.ExitSequence();
    EXPECT_EQ(GetApp(), app.get());
  }
  EXPECT_EQ(vtest::ReadFile(TaskListPath()), before);
  EXPECT_FALSE(app->IsRefused());
  // Once the first copy is gone the directory is free again.
  app.reset();
  CDownloaderApp third(Quiet(&port));
  EXPECT_FALSE(third.IsRefused());
  EXPECT_EQ(third.GetTaskCount(), 2);
}

TEST_F(TaskTableTest, DownloadFolderIsCreatedWhenMissing) {
  app.reset();
  std::filesystem::remove_all(home.downloads());
  app = std::make_unique<CDownloaderApp>(Quiet(&port));
  EXPECT_TRUE(std::filesystem::is_directory(home.downloads()));
}

TEST_F(TaskTableTest, ViewNameDecidesWhetherTheListIsShown) {
  EXPECT_FALSE(app->IsListShown());
  app->SetViewName("CDowningList");
  EXPECT_TRUE(app->IsListShown());
  app->SetViewName("CMyHtmlView");
  EXPECT_TRUE(app->IsListShown());
  app->SetViewName("CSongList");
  EXPECT_FALSE(app->IsListShown());
  EXPECT_EQ(app->GetViewName(), "CSongList");
}

TEST(TaskTableMessages, MessagesBeforeThePortAreDeliveredLater) {
  vtest::TempHome home;
  CDownloaderApp app(Quiet(nullptr));
  EXPECT_FALSE(app.AddTasks(""));
  RecordingPort port;
  app.SetUiPort(&port);
  EXPECT_EQ(port.Count(T(txt::kSongNameEmpty)), 1);
  app.SetUiPort(nullptr);
}

}  // namespace
