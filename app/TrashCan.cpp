#include "app/TrashCan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "engine/ProgramDirectory.h"
#include "engine/TextRules.h"

namespace {

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The folder and, for a fresh account's data folder, its missing parents.
bool MakeDir(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) == 0) return true;
  if (errno == ENOENT && dir != "/" && MakeDir(Parent(dir)) && ::mkdir(dir.c_str(), 0700) == 0) return true;
  struct stat st;
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The device of path, or of its nearest parent that exists.
bool NearestDevice(std::string path, dev_t& device) {
  for (;;) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
      device = st.st_dev;
      return true;
    }
    if (path == "/") return false;
    path = Parent(path);
  }
}

// files/ and info/ under a trash folder, made when missing.
bool Usable(const std::string& trash) {
  return MakeDir(trash) && MakeDir(trash + "/files") && MakeDir(trash + "/info") &&
         ::access((trash + "/files").c_str(), W_OK) == 0 && ::access((trash + "/info").c_str(), W_OK) == 0;
}

// The mount point holding path: the last parent on the same device.
std::string TopDirectory(const std::string& path, dev_t device) {
  std::string top = Parent(path);
  while (top != "/") {
    const std::string up = Parent(top);
    struct stat st;
    if (::stat(up.c_str(), &st) != 0 || st.st_dev != device) break;
    top = up;
  }
  return top;
}

// Every byte but the unreserved ones and "/" percent-encoded, as the
// info file's Path key wants it.
std::string EncodePath(const std::string& path) {
  return PercentEscape(path, [](unsigned char c) { return !IsUnreservedUrlByte(c) && c != '/'; });
}

// "name.mp3", then "name.2.mp3", "name.3.mp3", ...: the first the info
// folder does not hold yet is claimed by creating its info file.
int ClaimInfoFile(const std::string& trash, const std::string& name, std::string& claimed) {
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string ext = stem.size() == name.size() ? std::string() : name.substr(dot);
  for (int n = 1; n < 10000; ++n) {
    claimed = n == 1 ? name : stem + "." + std::to_string(n) + ext;
    const std::string info = trash + "/info/" + claimed + ".trashinfo";
    const int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -1;
  }
  return -1;
}

TrashCan::Result MoveInto(const std::string& trash, const std::string& path, const std::string& recorded) {
  const std::string name = path.substr(path.rfind('/') + 1);
  std::string claimed;
  const int fd = ClaimInfoFile(trash, name, claimed);
  if (fd < 0) return TrashCan::Result::kNoTrash;
  char when[32] = "";
  const std::time_t now = std::time(nullptr);
  struct tm local;
  if (::localtime_r(&now, &local)) std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &local);
  const std::string info = "[Trash Info]\nPath=" + EncodePath(recorded) + "\nDeletionDate=" + when + "\n";
  const bool written = ::write(fd, info.data(), info.size()) == static_cast<ssize_t>(info.size());
  ::close(fd);
  const std::string infoPath = trash + "/info/" + claimed + ".trashinfo";
  if (written && ::rename(path.c_str(), (trash + "/files/" + claimed).c_str()) == 0) return TrashCan::Result::kTrashed;
  const int why = errno;
  ::unlink(infoPath.c_str());
  if (!written || why == EXDEV) return TrashCan::Result::kNoTrash;
  return TrashCan::Result::kFailed;
}

}  // namespace

std::string TrashCan::HomeTrash() {
  // The program's own data folder sits in the user's data home.
  const std::string programDir = GetUserProgramDirectory();
  return programDir.empty() ? std::string() : Parent(programDir) + "/Trash";
}

TrashCan::Result TrashCan::MoveToTrash(const std::string& path) {
  struct stat file;
  if (path.empty() || path[0] != '/' || ::lstat(path.c_str(), &file) != 0) return Result::kFailed;
  const std::string home = HomeTrash();
  dev_t homeDevice;
  // On the home trash's disk only the home trash will do.
  if (!home.empty() && NearestDevice(home, homeDevice) && homeDevice == file.st_dev)
    return Usable(home) ? MoveInto(home, path, path) : Result::kNoTrash;

  // Another disk: its own trash at its top, where the path is recorded
  // relative to that top.
  const std::string top = TopDirectory(path, file.st_dev);
  const std::string uid = std::to_string(::getuid());
  const std::string base = top == "/" ? std::string() : top;
  const std::string relative = path.substr(base.size() + 1);
  struct stat shared;
  const std::string sharedDir = base + "/.Trash";
  // A shared .Trash counts only when it is a real folder with the sticky bit.
  if (::lstat(sharedDir.c_str(), &shared) == 0 && S_ISDIR(shared.st_mode) && (shared.st_mode & S_ISVTX) &&
      Usable(sharedDir + "/" + uid)) {
    const Result r = MoveInto(sharedDir + "/" + uid, path, relative);
    if (r != Result::kNoTrash) return r;
  }
  const std::string own = base + "/.Trash-" + uid;
  if (Usable(own)) return MoveInto(own, path, relative);
  return Result::kNoTrash;
}
