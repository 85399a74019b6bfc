#include "engine/job/OwnFile.h"

#include <unistd.h>

bool OwnFile::Trusted(const struct stat& st) {
  // A second name could be another user's hard link to a file of ours.
  return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0 && st.st_nlink == 1;
}

bool OwnFile::TrustedFd(int fd) {
  struct stat st{};
  return ::fstat(fd, &st) == 0 && Trusted(st);
}

bool OwnFile::TrustedPath(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && Trusted(st);
}
