#pragma once
// Whether a file found in a temp folder may be continued, read back or
// written through: a plain file of ours, under one name only, that nobody
// else can write. Anything else may carry another user's bytes.
#include <sys/stat.h>

#include <string>

class OwnFile {
 public:
  static bool Trusted(const struct stat& st);
  // The open file behind fd.
  static bool TrustedFd(int fd);
  // The file the path names, never following a link; false when missing.
  static bool TrustedPath(const std::string& path);
};
