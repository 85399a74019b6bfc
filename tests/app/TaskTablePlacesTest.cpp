// The task table's places and slots, and downing.dat as a file, without an
// application: holes, the lowest free place, the limits, the scan order,
// and what a save keeps when it cannot finish.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include "app/TaskListFile.h"
#include "app/TaskRunner.h"
#include "app/TaskTable.h"
#include "engine/Common.h"
#include "tests/app/AppTestUtil.h"

using namespace apptest;

namespace {

std::vector<std::string> NamesOf(const TaskTable& t) {
  std::vector<std::string> out;
  for (const SlotEntry& s : t.Entries()) out.push_back(std::to_string(s.nSlot) + ":" + Name(s.entry));
  return out;
}

TaskEntry* AddNamed(TaskTable& t, const std::string& name, int expect = 0) {
  TaskEntry* e = nullptr;
  EXPECT_EQ(t.Add(name, &e), expect) << name;
  return e;
}

}  // namespace

TEST(TaskTablePlaces, NewNamesTakeTheLowestHoleAndExistingNamesAreFoundWhole) {
  TaskTable t;
  for (const char* n : {"a", "b", "c", "d"}) AddNamed(t, n);
  ASSERT_TRUE(t.Remove("b"));
  ASSERT_TRUE(t.Remove("a"));
  EXPECT_FALSE(t.Remove("a"));
  EXPECT_EQ(t.TaskCount(), 2);
  // The scan still reaches the entries behind the holes.
  ASSERT_NE(t.Find("d"), nullptr);
  EXPECT_EQ(t.Find("c")->m_szState[0], '\0');
  AddNamed(t, "e");
  EXPECT_EQ(NamesOf(t), (std::vector<std::string>{"0:e", "2:c", "3:d"}));
  EXPECT_EQ(t.Find("dd"), nullptr);
  EXPECT_EQ(t.Find(""), nullptr);

  TaskEntry* again = AddNamed(t, "c", -1);
  EXPECT_EQ(again, t.Find("c"));
  EXPECT_EQ(t.TaskCount(), 3);
  EXPECT_FALSE(t.EntryAt(1).has_value());
  ASSERT_TRUE(t.EntryAt(2).has_value());
  EXPECT_EQ(Name(*t.EntryAt(2)), "c");
  EXPECT_FALSE(t.EntryAt(-1).has_value());
  EXPECT_FALSE(t.EntryAt(kMaxTasks).has_value());
}

TEST(TaskTablePlaces, AFullTableRefusesNewNamesButFindsOldOnes) {
  TaskTable t;
  for (int i = 0; i < kMaxTasks; ++i) AddNamed(t, "n" + std::to_string(i));
  TaskEntry* e = nullptr;
  EXPECT_EQ(t.Add("one more", &e), -2);
  EXPECT_EQ(t.Add("n99", &e), -1);
  EXPECT_EQ(t.TaskCount(), kMaxTasks);
  ASSERT_TRUE(t.Remove("n42"));
  AddNamed(t, "one more");
  EXPECT_EQ(Name(*t.EntryAt(42)), "one more");
}

TEST(TaskTablePlaces, LoadingReplacesEveryEntryAndStopsAtTheLimit) {
  TaskTable t;
  AddNamed(t, "old");
  std::vector<TaskEntry> loaded;
  for (int i = 0; i < kMaxTasks + 5; ++i) loaded.push_back(MakeEntry("r" + std::to_string(i), "", ""));
  t.LoadEntries(loaded);
  EXPECT_EQ(t.TaskCount(), kMaxTasks);
  EXPECT_EQ(t.Find("old"), nullptr);
  EXPECT_EQ(Name(*t.EntryAt(99)), "r99");
  EXPECT_EQ(t.Find("r100"), nullptr);
  t.ClearEntries();
  EXPECT_EQ(t.TaskCount(), 0);
  EXPECT_TRUE(t.Entries().empty());
}

// The scheduler walks the table with this: upwards from a place, over
// holes and entries in other states.
TEST(TaskTablePlaces, NextInStateWalksUpwardsFromAPlace) {
  TaskTable t;
  for (const char* n : {"a", "b", "c", "d", "e"}) AddNamed(t, n);
  for (const char* n : {"b", "d", "e"}) SetEntryText(t.Find(n)->m_szState, "act");
  t.Remove("c");
  std::string name;
  EXPECT_EQ(t.NextInState(0, "act", name), 1);
  EXPECT_EQ(name, "b");
  EXPECT_EQ(t.NextInState(2, "act", name), 3);
  EXPECT_EQ(name, "d");
  EXPECT_EQ(t.NextInState(4, "act", name), 4);
  name = "unchanged";
  EXPECT_EQ(t.NextInState(5, "act", name), -1);
  EXPECT_EQ(name, "unchanged");
  EXPECT_EQ(t.NextInState(0, "ac", name), -1);  // whole states only
}

TEST(TaskTablePlaces, SlotsFillFromTheLowestFreeAndGiveTheirRunnerBack) {
  TaskTable t;
  std::unique_ptr<TaskRunner> none;
  for (int i = 0; i < kMaxActive; ++i) ASSERT_TRUE(t.Fill("s" + std::to_string(i), none));
  EXPECT_FALSE(t.HasFreeSlot());
  EXPECT_FALSE(t.Fill("late", none));
  EXPECT_FALSE(t.IsActive("late"));
  EXPECT_EQ(t.ActiveCount(), kMaxActive);

  std::unique_ptr<TaskRunner> taken;
  EXPECT_TRUE(t.Take("s3", taken));
  EXPECT_FALSE(t.Take("s3", taken));
  EXPECT_FALSE(t.IsActive("s3"));
  EXPECT_TRUE(t.IsActive("s9"));  // found past the hole
  ASSERT_TRUE(t.Fill("late", none));
  EXPECT_EQ(t.SlotNameAt(3), std::optional<std::string>("late"));
  EXPECT_FALSE(t.SlotNameAt(kMaxActive).has_value());
  EXPECT_EQ(t.ActiveNames().size(), static_cast<size_t>(kMaxActive));

  EXPECT_EQ(t.TakeAll().size(), static_cast<size_t>(kMaxActive));
  EXPECT_EQ(t.ActiveCount(), 0);
  EXPECT_TRUE(t.ActiveNames().empty());
  EXPECT_TRUE(t.HasFreeSlot());
  EXPECT_FALSE(t.SlotNameAt(0).has_value());
}

TEST(TaskTablePlaces, TypedTextSplitsIntoAtMostTenNames) {
  EXPECT_TRUE(TaskTable::SplitNames(" \t\n").empty());
  EXPECT_EQ(TaskTable::SplitNames(" a ; b;"), (std::vector<std::string>{"a ", " b"}));
  EXPECT_EQ(TaskTable::SplitNames("a;;b"), (std::vector<std::string>{"a", "", "b"}));
  std::string many;
  for (int i = 0; i < 12; ++i) many += "n" + std::to_string(i) + ";";
  const std::vector<std::string> names = TaskTable::SplitNames(many);
  ASSERT_EQ(names.size(), 10u);
  EXPECT_EQ(names.back(), "n9");
}

// --- downing.dat ------------------------------------------------------------------

class TaskListFileTest : public ::testing::Test {
 protected:
  vtest::TempHome home;
  std::string path = home.home() + "/downing.dat";
};

TEST_F(TaskListFileTest, SaveKeepsRecordOrderAndLoadStopsEveryEntry) {
  TaskListFile file(path);
  std::string failure;
  ASSERT_TRUE(file.Save({MakeEntry("A", "1", "http://a/"), MakeEntry("B", "2", ""), MakeEntry("C", "3", "")}, failure));
  // A's record goes, B's is written over in place, D is appended.
  ASSERT_TRUE(file.Save({MakeEntry("D", "4", ""), MakeEntry("C", "33", ""), MakeEntry("B", "22", "")}, failure));
  EXPECT_TRUE(failure.empty());
  EXPECT_EQ(RecordNames(path), (std::vector<std::string>{"B", "C", "D"}));
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));

  const std::vector<TaskEntry> loaded = file.Load(2);
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_EQ(Name(loaded[1]), "C");
  EXPECT_EQ(Text(loaded[1].m_szSize, sizeof loaded[1].m_szSize), "33");
  for (const TaskEntry& e : loaded) EXPECT_EQ(State(e), txt::kStateStopped);
  EXPECT_TRUE(TaskListFile(home.home() + "/none.dat").Load(kMaxTasks).empty());
}

TEST_F(TaskListFileTest, AFailedSaveLeavesTheFileAndSaysWhichCopyItCouldNotMake) {
  TaskListFile file(path);
  std::string failure;
  ASSERT_TRUE(file.Save({MakeEntry("A", "", ""), MakeEntry("B", "", "")}, failure));
  const std::string before = vtest::ReadFile(path);
  // A folder where the copy beside the file goes: no save can start.
  ASSERT_EQ(mkdir((path + ".new").c_str(), 0700), 0);
  EXPECT_FALSE(file.Save({MakeEntry("B", "", "")}, failure));
  EXPECT_NE(failure.find("downing.dat.new"), std::string::npos);
  ASSERT_EQ(rmdir((path + ".new").c_str()), 0);
  EXPECT_EQ(vtest::ReadFile(path), before);
}

TEST_F(TaskListFileTest, SavesInTurnStopOnceShutOutAndReportUnderTheSaveLock) {
  bool heldDuringReport = false;
  TaskListFile file(path, [&] {
    // Asked from another thread: this one holds it, or not.
    std::thread([&] {
      heldDuringReport = !g_lock.try_lock();
      if (!heldDuringReport) g_lock.unlock();
    }).join();
  });
  std::mutex table;
  std::string failure;
  std::unique_lock<std::mutex> lk(table);
  EXPECT_TRUE(file.SaveInTurn(lk, {MakeEntry("A", "", "")}, false, failure));
  EXPECT_FALSE(lk.owns_lock());  // the caller's lock went once g_lock was held
  EXPECT_TRUE(heldDuringReport);

  lk.lock();
  EXPECT_TRUE(file.SaveInTurn(lk, {MakeEntry("B", "", "")}, true, failure));
  lk.lock();
  EXPECT_FALSE(file.SaveInTurn(lk, {MakeEntry("C", "", "")}, false, failure));
  EXPECT_TRUE(failure.empty());
  EXPECT_EQ(RecordNames(path), (std::vector<std::string>{"B"}));

  TaskListFile other(path);
  other.ShutOut();
  lk.lock();
  EXPECT_FALSE(other.SaveInTurn(lk, {}, false, failure));
  EXPECT_EQ(RecordNames(path), (std::vector<std::string>{"B"}));
}
