#pragma once
// Maps a decoded request path onto a file below one directory and refuses
// everything that would leave it.
#include <string>
#include <string_view>

enum class ResolveResult { kOk, kForbidden, kNotFound };

class CSafeRoot {
 public:
  explicit CSafeRoot(std::string directory);

  // relative: the decoded path below the directory, "/"-separated. A path
  // with "..", a NUL byte, a backslash or a leading "/" is forbidden before
  // the disk is touched; a path whose real location (symlinks followed) is
  // outside the directory is forbidden too. Only regular files resolve.
  ResolveResult Resolve(std::string_view relative, std::string& realPath) const;
  const std::string& Directory() const { return m_strDirectory; }

 private:
  std::string m_strDirectory;
};

// The path check alone, shared with the routes that never touch the disk.
bool IsCleanRelativePath(std::string_view relative);
