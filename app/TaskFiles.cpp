#include "app/TaskFiles.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <memory>
#include <utility>

#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/job/TargetLock.h"
#include "res/texts/TaskTexts.h"
#include "task/DownloadTask.h"
#include "engine/TextRules.h"

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

// "<file>.<ext>", the name a task file found in a folder belongs to; empty
// when it is not a file of `file`.
std::string OwnerNameOf(const std::string& entry, const std::string& file) {
  static const char* const kTails[] = {".job.tmp.hpt", ".job.part.hpt", ".job.hpt", ".hpt.tmp", ".hpt", ".lock", ".part"};
  switch (ClassifyTaskFile(entry, file)) {
    case TaskFileKind::kNone: return {};
    case TaskFileKind::kBlock: return entry.substr(0, entry.rfind('-'));
    default: break;
  }
  for (const char* tail : kTails)
    if (EndsWith(entry, tail)) return entry.substr(0, entry.size() - std::char_traits<char>::length(tail));
  return {};
}

// The one rule of a removal: a file goes only when it is a removed task's,
// no kept task would use it, and the name it belongs to is locked by us.
bool MayDelete(const std::string& entry, const std::vector<std::string>& removed,
               const std::vector<std::string>& kept, const std::set<std::string>& heldNames) {
  if (UsedByAny(entry, kept)) return false;
  for (const std::string& f : removed) {
    const std::string owner = OwnerNameOf(entry, f);
    if (!owner.empty() && heldNames.count(owner)) return true;
  }
  return false;
}

void DeleteIn(const std::string& dir, bool parts, const std::vector<std::string>& removed,
              const std::vector<std::string>& kept, const std::set<std::string>& heldNames) {
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return;
  std::vector<std::string> doomed;
  while (dirent* e = readdir(d)) {
    const std::string entry = e->d_name;
    bool part = false;
    for (const std::string& f : removed) part = part || ClassifyTaskFile(entry, f) == TaskFileKind::kPart;
    if (part == parts && MayDelete(entry, removed, kept, heldNames)) doomed.push_back(entry);
  }
  closedir(d);
  for (const std::string& entry : doomed) {
    const std::string path = DirPath(dir, entry);
    if (IsRegularFile(path)) unlink(path.c_str());
  }
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
  for (const char* record : {".job.hpt", ".job.tmp.hpt", ".job.part.hpt", ".hpt.tmp"})
    if (EndsWith(rest, record))
      return IsExtension(rest.substr(0, rest.size() - std::char_traits<char>::length(record)))
                 ? TaskFileKind::kSidecar
                 : TaskFileKind::kNone;
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
  const std::vector<std::string> keptFiles = TargetNamesOf(kept);
  // A job of another copy of the program may be using files of the same
  // name: those are spared by its lock, and the others are deleted under
  // ours so that no job starts on them half-way. Only names seen here are
  // locked; a job that starts on another name meanwhile holds its own lock,
  // and nothing of that name is touched.
  std::set<std::string> names;  // "<file>.<ext>"
  auto collect = [&](const std::string& dir) {
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
      for (const std::string& f : removedFiles) {
        const std::string owner = OwnerNameOf(e->d_name, f);
        if (!owner.empty()) names.insert(owner);
      }
    }
    closedir(d);
  };
  collect(tempDir);
  collect(downloadsDir);
  if (afterListing) afterListing();
  std::vector<std::unique_ptr<CTargetLock>> held;
  std::set<std::string> heldNames;
  for (const std::string& name : names) {
    auto l = std::make_unique<CTargetLock>(DirPath(tempDir, CTargetLock::LockName(name)));
    if (l->TryLock() != CTargetLock::Result::kLocked) continue;
    heldNames.insert(name);
    held.push_back(std::move(l));
  }
  DeleteIn(tempDir, false, removedFiles, keptFiles, heldNames);
  DeleteIn(downloadsDir, true, removedFiles, keptFiles, heldNames);
}

void DeleteTaskFiles(const std::vector<std::string>& removed, const std::vector<std::string>& kept) {
  const std::string temp = GetTempDirectory();
  // Without a temp folder nothing can be locked, and "" is the current folder.
  if (removed.empty() || temp.empty()) return;
  DeleteTaskFilesIn(temp, GetAppDirectory() + "/" + txt::kDownloadedFolder, removed, kept);
}
