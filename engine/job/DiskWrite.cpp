#include "engine/job/DiskWrite.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/Common.h"
#include "engine/Gbk.h"
#include "res/Texts.h"

namespace {

std::mutex g_injectLock;
std::string g_injectFolder;          // under g_injectLock
std::atomic<int> g_injectError{0};  // read first so normal writes take no lock

}  // namespace

void InjectWriteError(const std::string& folder, int err) {
  std::lock_guard<std::mutex> g(g_injectLock);
  g_injectFolder = folder;
  g_injectError = err;
}

int InjectedWriteError(int fd) {
  if (g_injectError.load() == 0) return 0;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char path[PATH_MAX];
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return 0;
  std::lock_guard<std::mutex> g(g_injectLock);
  if (g_injectError == 0 || g_injectFolder.empty()) return 0;
  const std::string p(path, static_cast<size_t>(n));
  return p.compare(0, g_injectFolder.size(), g_injectFolder) == 0 ? g_injectError.load() : 0;
}

int InjectedWriteErrorAt(const std::string& path) {
  if (g_injectError.load() == 0) return 0;
  std::lock_guard<std::mutex> g(g_injectLock);
  if (g_injectError == 0 || g_injectFolder.empty()) return 0;
  return path.compare(0, g_injectFolder.size(), g_injectFolder) == 0 ? g_injectError.load() : 0;
}

namespace {

// at < 0: at the file's position.
bool WriteLoop(int fd, const void* data, size_t n, long long at) {
  if (const int err = InjectedWriteError(fd)) {
    errno = err;
    return false;
  }
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = at < 0 ? ::write(fd, p, n) : ::pwrite(fd, p, n, at);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    if (w == 0) {
      errno = ENOSPC;  // a regular file only writes nothing when it cannot grow
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
    if (at >= 0) at += w;
  }
  return true;
}

}  // namespace

bool WriteAll(int fd, const void* data, size_t n) { return WriteLoop(fd, data, n, -1); }

bool WriteAllAt(int fd, const void* data, size_t n, long long at) {
  if (at < 0) {
    errno = EINVAL;
    return false;
  }
  return WriteLoop(fd, data, n, at);
}

bool IsLocalWriteError(int err) {
  return err == ENOSPC || err == EDQUOT || err == EACCES || err == EPERM || err == EROFS;
}

std::string LocalWriteErrorText(int err) {
  if (err == ENOSPC || err == EDQUOT) return T(txt::kDiskFull);
  if (err == EACCES || err == EPERM || err == EROFS) return T(txt::kNoWritePermission);
  return {};
}

std::string SystemErrorText(int err) {
  char buf[256];
  // The GNU form: the text may be a static one rather than buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return Utf8ToGbk(text ? text : "");
}

bool SyncFolderOf(const std::string& path) {
  const int fd = ::open(GetPathFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}
