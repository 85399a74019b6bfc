#include "engine/job/TargetLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "engine/Common.h"
#include "engine/job/OwnFile.h"

CTargetLock::CTargetLock(std::string path) : m_path(std::move(path)) {}

CTargetLock::~CTargetLock() { Unlock(); }

std::string CTargetLock::PathFor(const std::string& target) {
  return GetTempDirectory() + LockName(GetPathFileName(target));
}

std::string CTargetLock::LockName(const std::string& targetName) { return targetName + ".lock"; }

void CTargetLock::SetPath(const std::string& path) {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_fd < 0) m_path = path;
}

CTargetLock::Result CTargetLock::TryLock() {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_fd >= 0) return Result::kLocked;
  // A remover may delete the file between our open and our flock; then the
  // lock is on a file nobody else will find, and we start over.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return Result::kError;
    if (!OwnFile::TrustedFd(fd)) {
      // Someone else's file would let them hold the name for ever: it goes,
      // and the next round makes ours.
      struct stat held{}, named{};
      const bool same = ::fstat(fd, &held) == 0 && ::lstat(m_path.c_str(), &named) == 0 &&
                        held.st_dev == named.st_dev && held.st_ino == named.st_ino;
      ::close(fd);
      if (same && ::unlink(m_path.c_str()) != 0 && errno != ENOENT) return Result::kError;
      continue;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EINTR) continue;
      if (err == EWOULDBLOCK) return Result::kBusy;
      errno = err;
      return Result::kError;
    }
    struct stat held{}, named{};
    if (::fstat(fd, &held) == 0 && ::lstat(m_path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      m_fd = fd;
      return Result::kLocked;
    }
    ::close(fd);
  }
  errno = EAGAIN;
  return Result::kError;
}

bool CTargetLock::Lock(const std::function<bool()>& stopped, const std::function<void()>& onWait) {
  bool told = false;
  for (;;) {
    if (stopped && stopped()) {
      errno = 0;
      return false;
    }
    switch (TryLock()) {
      case Result::kLocked: return true;
      case Result::kError: return false;
      case Result::kBusy: break;
    }
    if (!told && onWait) onWait();
    told = true;
    // Polling keeps the wait stoppable from any thread without a second
    // descriptor to wake it; the holder's download takes far longer.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void CTargetLock::UnlinkLocked() {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_fd >= 0) ::unlink(m_path.c_str());
}

void CTargetLock::Unlock() {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_fd < 0) return;
  // Removed while still held, so lock files do not pile up: whoever waits
  // on the old file finds it no longer named and starts over on a new one.
  struct stat held{}, named{};
  if (::fstat(m_fd, &held) == 0 && ::lstat(m_path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
      held.st_ino == named.st_ino)
    ::unlink(m_path.c_str());
  ::close(m_fd);  // closing the last descriptor lets go of the flock
  m_fd = -1;
}

bool CTargetLock::Held() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_fd >= 0;
}
