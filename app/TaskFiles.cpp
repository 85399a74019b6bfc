#include "app/TaskFiles.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <utility>

#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/TargetLock.h"
#include "res/texts/TaskTexts.h"
#include "task/DownloadTask.h"

namespace {

bool IsExtension(const std::string& s) {
  return !s.empty() && s.find_first_of(".-") == std::string::npos;
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string DirPath(const std::string& dir, const std::string& entry) {
  if (dir.empty()) return entry;
  return dir.back() == '/' ? dir + entry : dir + "/" + entry;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool UsedByAny(const std::string& entry, const std::vector<std::string>& files) {
  for (const std::string& f : files)
    if (ClassifyTaskFile(entry, f) != TaskFileKind::kNone) return true;
  return false;
}

void DeleteIn(const std::string& dir, bool parts, const std::vector<std::string>& removed,
              const std::vector<std::string>& kept) {
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return;
  std::vector<std::string> doomed;
  while (dirent* e = readdir(d)) {
    const std::string entry = e->d_name;
    bool mine = false;
    for (const std::string& f : removed) {
      const TaskFileKind kind = ClassifyTaskFile(entry, f);
      if (kind != TaskFileKind::kNone && (kind == TaskFileKind::kPart) == parts) mine = true;
    }
    if (mine && !UsedByAny(entry, kept)) doomed.push_back(entry);
  }
  closedir(d);
  for (const std::string& entry : doomed) {
    const std::string path = DirPath(dir, entry);
    if (IsRegularFile(path)) unlink(path.c_str());
  }
}

// "<file>.<ext>.lock" for a task file found in a folder, "" for others.
std::string LockNameOf(const std::string& entry, TaskFileKind kind) {
  switch (kind) {
    case TaskFileKind::kNone: return {};
    case TaskFileKind::kLock: return entry;
    case TaskFileKind::kPart: return entry.substr(0, entry.size() - 5) + ".lock";
    case TaskFileKind::kSidecar: return entry.substr(0, entry.size() - 4) + ".lock";
    case TaskFileKind::kBlock: return entry.substr(0, entry.rfind('-')) + ".lock";
  }
  return {};
}

std::vector<std::string> TargetNamesOf(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& n : names)
    for (std::string& f : TaskTargetNames(n)) out.push_back(std::move(f));
  return out;
}

}  // namespace

TaskFileKind ClassifyTaskFile(const std::string& entry, const std::string& file) {
  if (file.empty() || entry.size() <= file.size() + 1) return TaskFileKind::kNone;
  if (entry.compare(0, file.size(), file) != 0 || entry[file.size()] != '.') return TaskFileKind::kNone;
  std::string rest = entry.substr(file.size() + 1);  // <ext>...
  if (EndsWith(rest, ".part")) {
    return IsExtension(rest.substr(0, rest.size() - 5)) ? TaskFileKind::kPart : TaskFileKind::kNone;
  }
  if (EndsWith(rest, ".lock")) {
    return IsExtension(rest.substr(0, rest.size() - 5)) ? TaskFileKind::kLock : TaskFileKind::kNone;
  }
  if (!EndsWith(rest, ".hpt")) return TaskFileKind::kNone;
  rest.resize(rest.size() - 4);  // <ext> or <ext>-<digits>
  if (IsExtension(rest)) return TaskFileKind::kSidecar;
  const size_t dash = rest.find('-');
  if (dash == std::string::npos || !IsExtension(rest.substr(0, dash)) || !AllDigits(rest.substr(dash + 1)))
    return TaskFileKind::kNone;
  return TaskFileKind::kBlock;
}

std::vector<std::string> TaskTargetNames(const std::string& gbkName) {
  const std::string clean = TargetFileName(gbkName);
  if (clean.empty()) return {};
  std::vector<std::string> names{GbkToUtf8(clean)};
  if (names.front() != clean) names.push_back(clean);
  return names;
}

void DeleteTaskFilesIn(const std::string& tempDir, const std::string& downloadsDir,
                       const std::vector<std::string>& removed, const std::vector<std::string>& kept,
                       const std::function<void()>& afterListing) {
  const std::vector<std::string> removedFiles = TargetNamesOf(removed);
  if (removedFiles.empty()) return;
  std::vector<std::string> keptFiles = TargetNamesOf(kept);
  // A job of another copy of the program may be using files of the same
  // name: those whose lock is held stay, and the others are deleted under
  // the lock so that no job starts on them half-way. The lock is taken for
  // every name that has files, not only for lock files seen: a job may
  // create its lock between our look at the folder and the deletion.
  std::map<std::string, std::string> locks;  // lock file name -> target file name
  auto collect = [&](const std::string& dir) {
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
      for (const std::string& f : removedFiles) {
        const std::string lock = LockNameOf(e->d_name, ClassifyTaskFile(e->d_name, f));
        if (!lock.empty()) locks.emplace(lock, f);
      }
    }
    closedir(d);
  };
  collect(tempDir);
  collect(downloadsDir);
  if (afterListing) afterListing();
  std::vector<std::unique_ptr<CTargetLock>> held;
  for (auto& [lock, file] : locks) {
    auto l = std::make_unique<CTargetLock>(DirPath(tempDir, lock));
    const CTargetLock::Result r = l->TryLock();
    if (r == CTargetLock::Result::kBusy) keptFiles.push_back(file);
    if (r == CTargetLock::Result::kLocked) held.push_back(std::move(l));
  }
  DeleteIn(tempDir, false, removedFiles, keptFiles);
  DeleteIn(downloadsDir, true, removedFiles, keptFiles);
}

void DeleteTaskFiles(const std::vector<std::string>& removed, const std::vector<std::string>& kept) {
  if (removed.empty()) return;
  DeleteTaskFilesIn(GetTempDirectory(), GetAppDirectory() + "/" + txt::kDownloadedFolder, removed, kept);
}
