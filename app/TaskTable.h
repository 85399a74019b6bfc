#pragma once
// The task table (one entry per song name, at most 100) and the active
// table (at most 10 slots, each owning the task that runs its entry).
// Filled places need not be contiguous: a removal leaves a hole, a new one
// takes the lowest free place, and every scan goes up from place 0 and
// stops once it has seen as many filled places as the count says.
//
// Not locked itself: the application keeps it under its lock. A task
// leaves a slot only through Take/TakeAll, so nothing here stops or
// deletes a running task; the caller hands it to the reaper.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/record/TaskEntry.h"

class TaskRunner;

inline constexpr int kMaxTasks = 100;
inline constexpr int kMaxActive = 10;

// A fixed field of an entry as text: up to its first NUL, never past it.
template <size_t N>
std::string EntryText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// One filled place of the task table, for filling the download list.
struct SlotEntry {
  int nSlot = 0;
  TaskEntry entry{};
};

class TaskTable {
 public:
  TaskTable();
  ~TaskTable();
  TaskTable(const TaskTable&) = delete;
  TaskTable& operator=(const TaskTable&) = delete;

  // The names of a text typed into the search bar: separated by ";", at
  // most ten, blanks around the whole cut off. None for a blank text.
  static std::vector<std::string> SplitNames(const std::string& text);

  // --- Entries --------------------------------------------------------------
  // The entry of name (whole-name comparison), or null.
  TaskEntry* Find(const std::string& name);
  const TaskEntry* Find(const std::string& name) const;
  // A zero-filled entry holding name in the lowest free place: 0, with
  // *added set. -1 when name has an entry already (*added is that one);
  // -2 when all places are taken.
  int Add(const std::string& name, TaskEntry** added);
  bool Remove(const std::string& name);
  void ClearEntries();
  // Replaces every entry by the first kMaxTasks of entries, in places 0 on.
  void LoadEntries(const std::vector<TaskEntry>& entries);
  // Copies of the filled places, lowest first.
  std::vector<SlotEntry> Entries() const;
  // The entry in place at, if that place is filled.
  std::optional<TaskEntry> EntryAt(int at) const;
  // The first filled place at or after from whose state is state; -1 when
  // the scan ends without one. name receives the entry's name.
  int NextInState(int from, const std::string& state, std::string& name) const;
  int TaskCount() const { return m_nTaskCount; }

  // --- Active slots -----------------------------------------------------------
  bool IsActive(const std::string& name) const;
  // The task runner in name's slot; null when name holds none.
  TaskRunner* Runner(const std::string& name) const;
  bool HasFreeSlot() const;
  // Puts runner into the lowest free slot under name; false (runner kept by
  // the caller) when every slot is taken.
  bool Fill(const std::string& name, std::unique_ptr<TaskRunner>& runner);
  // Frees name's slot and gives its runner to the caller; false when name
  // holds no slot.
  bool Take(const std::string& name, std::unique_ptr<TaskRunner>& runner);
  // Frees every slot; the runners in slot order.
  std::vector<std::unique_ptr<TaskRunner>> TakeAll();
  // The song name in slot at, if that slot is filled.
  std::optional<std::string> SlotNameAt(int at) const;
  std::vector<std::string> ActiveNames() const;
  int ActiveCount() const { return m_nActiveCount; }

 private:
  struct ActiveSlot;
  int FindEntry(const std::string& name) const;
  int FindSlot(const std::string& name) const;

  std::unique_ptr<TaskEntry> m_pTasks[kMaxTasks];
  std::unique_ptr<ActiveSlot> m_pActive[kMaxActive];
  int m_nTaskCount = 0;
  int m_nActiveCount = 0;
};
