// downing.dat: the task table's saving and loading.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include "app/DownloaderApp.h"
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/record/RecordFile.h"
#include "res/Texts.h"

namespace {

std::string FieldText(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

std::string TaskListPath() { return GetAppDirectory() + "/downing.dat"; }

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
  rf.m_strName = FieldText(e.m_szName, sizeof e.m_szName);
  rf.m_strSize = FieldText(e.m_szSize, sizeof e.m_szSize);
  rf.m_strDone = FieldText(e.m_szDone, sizeof e.m_szDone);
  rf.m_strPercent = FieldText(e.m_szPercent, sizeof e.m_szPercent);
  rf.m_strElapsed = FieldText(e.m_szElapsed, sizeof e.m_szElapsed);
  rf.m_strRemaining = FieldText(e.m_szRemaining, sizeof e.m_szRemaining);
  rf.m_strSpeed = FieldText(e.m_szSpeed, sizeof e.m_szSpeed);
  rf.m_strAddress = FieldText(e.m_szAddress, sizeof e.m_szAddress);
  rf.m_strBlocks = FieldText(e.m_szBlocks, sizeof e.m_szBlocks);
  rf.m_strState = FieldText(e.m_szState, sizeof e.m_szState);
  rf.m_strRetries = FieldText(e.m_szRetries, sizeof e.m_szRetries);
}

// The two passes over the record file: records of names no longer in the
// table go, then every entry is written over its record or appended. False
// as soon as a record cannot be deleted or written.
bool RunSavePasses(CRecordFile& rf, const std::vector<TaskEntry>& entries) {
  std::set<std::string> names;
  for (const TaskEntry& e : entries) names.insert(FieldText(e.m_szName, sizeof e.m_szName));

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
    int found = rf.Find(FieldText(e.m_szName, sizeof e.m_szName));
    EntryToRecord(e, rf);
    if (!(found < 0 ? rf.AddNew() : rf.Update())) return false;
  }
  return true;
}

}  // namespace

void CDownloaderApp::SaveTaskList() { SaveTaskListAndShutOut(false); }

bool CDownloaderApp::SaveTaskListChecked() { return SaveTaskListAndShutOut(false); }

bool CDownloaderApp::SaveTaskListAndShutOut(bool shutOut) {
  if (m_bRefused) return false;
  std::unique_lock<std::mutex> appLock(m_lock);
  std::vector<TaskEntry> entries;
  for (int i = 0; i < kMaxTasks && static_cast<int>(entries.size()) < m_nTaskCount; ++i) {
    if (m_pTasks[i]) entries.push_back(*m_pTasks[i]);
  }
  // Lock order: application lock, then g_lock. g_lock is taken before the
  // application lock is let go, so saves reach the file in the order their
  // copies were taken.
  std::lock_guard<std::mutex> saveLock(g_lock);
  appLock.unlock();
  if (m_bSavesShutOut) return false;
  if (shutOut) m_bSavesShutOut = true;

  // The passes run on a copy beside the file, which replaces it only when
  // every step worked: an interrupted or failed save leaves downing.dat as
  // it was.
  const std::string path = TaskListPath();
  const std::string work = path + ".new";
  if (!CopyFile(path, work)) {
    ::unlink(work.c_str());
    CRecordFile reportOnly;
    // Shows the record file message when downing.dat cannot be opened;
    // else the copy beside it could not be made, and that is said instead.
    if (reportOnly.Open(path)) ShowMessage(RecordFileText(work));
    return false;
  }
  bool ok = false;
  {
    CRecordFile rf;
    if (rf.Open(work)) ok = RunSavePasses(rf, entries);
    rf.Close();
  }
  if (ok) ok = SyncFile(work);
  if (ok) ok = std::rename(work.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(work.c_str());
    ShowMessage(RecordFileText(work));
    return false;
  }
  if (m_options.fnAfterSave) m_options.fnAfterSave();
  return true;
}

void CDownloaderApp::LoadTaskList() {
  if (m_bRefused) return;
  CRecordFile rf;
  rf.Open(TaskListPath());
  std::lock_guard<std::mutex> lk(m_lock);
  m_nTaskCount = 0;
  m_nActiveCount = 0;
  while (!rf.IsEOF() && m_nTaskCount < kMaxTasks) {
    TaskEntry* e = new TaskEntry{};
    SetEntryText(e->m_szName, rf.m_strName);
    SetEntryText(e->m_szSize, rf.m_strSize);
    SetEntryText(e->m_szDone, rf.m_strDone);
    SetEntryText(e->m_szPercent, rf.m_strPercent);
    SetEntryText(e->m_szElapsed, rf.m_strElapsed);
    SetEntryText(e->m_szRemaining, rf.m_strRemaining);
    SetEntryText(e->m_szSpeed, rf.m_strSpeed);
    SetEntryText(e->m_szAddress, rf.m_strAddress);
    SetEntryText(e->m_szBlocks, rf.m_strBlocks);
    SetEntryText(e->m_szRetries, rf.m_strRetries);
    // Nothing resumes by itself after a restart.
    SetEntryText(e->m_szState, txt::kStateStopped);
    m_pTasks[m_nTaskCount++] = e;
    rf.MoveNext();
  }
  rf.Close();
}
