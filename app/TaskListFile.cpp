#include "app/TaskListFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "app/TaskTable.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/record/RecordFile.h"
#include "res/Texts.h"

namespace {

// The record file's own message, naming the file the save could not make.
std::string RecordFileText(const std::string& path) {
  std::string text = T(txt::kRecordFileCreateFailed);
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, Utf8ToGbk(path));
  return text;
}

// Byte copy of src to dst, flushed. A missing src gives an empty dst.
bool CopyFile(const std::string& src, const std::string& dst) {
  int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return false;
  bool ok = true;
  int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    ok = errno == ENOENT;
  } else {
    char buf[8192];
    for (;;) {
      ssize_t n = ::read(in, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      for (ssize_t off = 0; off < n;) {
        ssize_t w = ::write(out, buf + off, static_cast<size_t>(n - off));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          ok = false;
          break;
        }
        off += w;
      }
      if (!ok) break;
    }
    ::close(in);
  }
  if (::close(out) != 0) ok = false;
  return ok;
}

bool SyncFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

void EntryToRecord(const TaskEntry& e, CRecordFile& rf) {
  rf.m_strName = EntryText(e.m_szName);
  rf.m_strSize = EntryText(e.m_szSize);
  rf.m_strDone = EntryText(e.m_szDone);
  rf.m_strPercent = EntryText(e.m_szPercent);
  rf.m_strElapsed = EntryText(e.m_szElapsed);
  rf.m_strRemaining = EntryText(e.m_szRemaining);
  rf.m_strSpeed = EntryText(e.m_szSpeed);
  rf.m_strAddress = EntryText(e.m_szAddress);
  rf.m_strBlocks = EntryText(e.m_szBlocks);
  rf.m_strState = EntryText(e.m_szState);
  rf.m_strRetries = EntryText(e.m_szRetries);
}

// The two passes over the record file: records of names no longer in the
// table go, then every entry is written over its record or appended. False
// as soon as a record cannot be deleted or written.
bool RunSavePasses(CRecordFile& rf, const std::vector<TaskEntry>& entries) {
  std::set<std::string> names;
  for (const TaskEntry& e : entries) names.insert(EntryText(e.m_szName));

  if (rf.m_nCount > 0) rf.MoveFirst();
  while (!rf.IsEOF()) {
    if (names.count(rf.m_strName)) {
      rf.MoveNext();
      continue;
    }
    const int before = rf.m_nCount;
    // A record that will not go would be met again and again.
    if (!rf.Delete() || rf.m_nCount != before - 1) return false;
  }

  for (const TaskEntry& e : entries) {
    int found = rf.Find(EntryText(e.m_szName));
    EntryToRecord(e, rf);
    if (!(found < 0 ? rf.AddNew() : rf.Update())) return false;
  }
  return true;
}

}  // namespace

std::string TaskListFile::DefaultPath() { return GetAppDirectory() + "/downing.dat"; }

bool TaskListFile::Save(const std::vector<TaskEntry>& entries, std::string& failure) const {
  failure.clear();
  const std::string work = m_strPath + ".new";
  if (!CopyFile(m_strPath, work)) {
    ::unlink(work.c_str());
    CRecordFile reportOnly;
    // The record file reports a downing.dat it cannot open itself; else
    // the copy beside it could not be made, and that is said instead.
    if (reportOnly.Open(m_strPath)) failure = RecordFileText(work);
    return false;
  }
  bool ok = false;
  {
    CRecordFile rf;
    if (rf.Open(work)) ok = RunSavePasses(rf, entries);
    rf.Close();
  }
  if (ok) ok = SyncFile(work);
  if (ok) ok = std::rename(work.c_str(), m_strPath.c_str()) == 0;
  if (!ok) {
    ::unlink(work.c_str());
    failure = RecordFileText(work);
  }
  return ok;
}

bool TaskListFile::SaveInTurn(std::unique_lock<std::mutex>& tableLock, const std::vector<TaskEntry>& entries,
                              bool shutOut, std::string& failure) {
  failure.clear();
  std::lock_guard<std::mutex> saveLock(g_lock);
  tableLock.unlock();
  if (m_bSavesShutOut) return false;
  if (shutOut) m_bSavesShutOut = true;
  if (!Save(entries, failure)) return false;
  if (m_fnAfterSave) m_fnAfterSave();
  return true;
}

void TaskListFile::ShutOut() {
  std::lock_guard<std::mutex> saveLock(g_lock);
  m_bSavesShutOut = true;
}

std::vector<TaskEntry> TaskListFile::Load(size_t max) const {
  std::vector<TaskEntry> entries;
  CRecordFile rf;
  rf.Open(m_strPath);
  while (!rf.IsEOF() && entries.size() < max) {
    TaskEntry e{};
    SetEntryText(e.m_szName, rf.m_strName);
    SetEntryText(e.m_szSize, rf.m_strSize);
    SetEntryText(e.m_szDone, rf.m_strDone);
    SetEntryText(e.m_szPercent, rf.m_strPercent);
    SetEntryText(e.m_szElapsed, rf.m_strElapsed);
    SetEntryText(e.m_szRemaining, rf.m_strRemaining);
    SetEntryText(e.m_szSpeed, rf.m_strSpeed);
    SetEntryText(e.m_szAddress, rf.m_strAddress);
    SetEntryText(e.m_szBlocks, rf.m_strBlocks);
    SetEntryText(e.m_szRetries, rf.m_strRetries);
    SetEntryText(e.m_szState, txt::kStateStopped);
    entries.push_back(e);
    rf.MoveNext();
  }
  rf.Close();
  return entries;
}
