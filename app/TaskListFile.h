#pragma once
// downing.dat: the task table as 301-byte records, one a name. A save runs
// on a copy beside the file that replaces it only when every step worked,
// so an interrupted or failed save leaves the file as it was.
//
// Saves are made in order under g_lock, and none is made once the exit
// sequence's own save (or a leaving without one) shut them out.
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/record/TaskEntry.h"

class TaskListFile {
 public:
  explicit TaskListFile(std::string path, std::function<void()> afterSave = nullptr)
      : m_strPath(std::move(path)), m_fnAfterSave(std::move(afterSave)) {}
  // downing.dat in the program directory.
  static std::string DefaultPath();

  // Records of names not among entries go; every entry is written over its
  // record or appended. False when the file was left as it was; failure is
  // then the text to show, or empty when the record file said it already.
  bool Save(const std::vector<TaskEntry>& entries, std::string& failure) const;
  // At most max entries in record order, each "stop" whatever the file
  // holds: nothing resumes by itself after a restart. A missing file is
  // made empty.
  std::vector<TaskEntry> Load(size_t max) const;

  // Save in turn: g_lock is taken before the caller's lock on the table
  // (held by tableLock) is let go, so saves reach the file in the order
  // their copies were taken. Refused once shut out; shutOut makes this
  // save the last. afterSave runs after a save, g_lock still held.
  bool SaveInTurn(std::unique_lock<std::mutex>& tableLock, const std::vector<TaskEntry>& entries, bool shutOut,
                  std::string& failure);
  // No save from now on.
  void ShutOut();

  const std::string& Path() const { return m_strPath; }

 private:
  std::string m_strPath;
  std::function<void()> m_fnAfterSave;
  bool m_bSavesShutOut = false;  // guarded by g_lock
};
