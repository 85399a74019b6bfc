#include "engine/job/FormerTempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "engine/Common.h"
#include "engine/job/OwnFile.h"
#include "engine/job/TempFolder.h"

namespace {

bool SameFolder(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// An older copy still downloading this name holds its lock there; its
// files are not ours to take away.
bool OlderCopyHolds(const std::string& lock) {
  const int fd = ::open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = false;
  if (OwnFile::TrustedFd(fd) && ::flock(fd, LOCK_SH | LOCK_NB) != 0) held = errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

// Never over a file of the same name: that one is newer.
bool MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

bool IsBlockOf(const std::string& file, const std::string& name) {
  const std::string prefix = name + "-";
  if (file.size() <= prefix.size() + 4 || file.compare(0, prefix.size(), prefix) != 0) return false;
  if (file.compare(file.size() - 4, 4, ".hpt") != 0) return false;
  const std::string digits = file.substr(prefix.size(), file.size() - prefix.size() - 4);
  return digits.size() <= 9 && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

int FormerTempFiles::MoveFor(const std::string& target) {
  const std::string from = TempFolder::FormerFolder();
  const std::string to = GetTempDirectory();
  const std::string name = GetPathFileName(target);
  if (from.empty() || to.empty() || name.empty() || SameFolder(from, to)) return 0;
  if (OlderCopyHolds(from + name + ".lock")) return 0;
  std::vector<std::string> files;
  DIR* d = ::opendir(from.c_str());
  if (!d) return 0;
  while (dirent* e = ::readdir(d))
    if (IsBlockOf(e->d_name, name)) files.push_back(e->d_name);
  ::closedir(d);
  std::sort(files.begin(), files.end());
  // The records last: blocks without a record are never continued.
  files.push_back(name + ".hpt");
  files.push_back(name + ".job.hpt");
  int moved = 0;
  for (const std::string& file : files) {
    if (!OwnFile::TrustedPath(from + file) || !MoveWithoutReplacing(from + file, to + file)) continue;
    // The shared folder may have let someone swap the file in between.
    if (!OwnFile::TrustedPath(to + file)) {
      ::unlink((to + file).c_str());
      continue;
    }
    ++moved;
  }
  return moved;
}
