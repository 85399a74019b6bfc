#include "server/SafeRoot.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

CSafeRoot::CSafeRoot(std::string directory) : m_strDirectory(std::move(directory)) {}

bool IsCleanRelativePath(std::string_view relative) {
  if (relative.empty() || relative.front() == '/') return false;
  if (relative.find('\0') != std::string_view::npos) return false;
  if (relative.find('\\') != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    std::string_view segment =
        relative.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (segment == "..") return false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return true;
}

ResolveResult CSafeRoot::Resolve(std::string_view relative, std::string& realPath) const {
  realPath.clear();
  if (!IsCleanRelativePath(relative)) return ResolveResult::kForbidden;
  char rootBuf[PATH_MAX];
  if (!realpath(m_strDirectory.c_str(), rootBuf)) return ResolveResult::kNotFound;
  std::string root = rootBuf;
  std::string joined = root + "/" + std::string(relative);
  char fileBuf[PATH_MAX];
  if (!realpath(joined.c_str(), fileBuf)) return ResolveResult::kNotFound;
  std::string real = fileBuf;
  if (real.size() <= root.size() + 1 || real.compare(0, root.size(), root) != 0 ||
      real[root.size()] != '/') {
    return ResolveResult::kForbidden;
  }
  struct stat st;
  if (stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ResolveResult::kNotFound;
  realPath = real;
  return ResolveResult::kOk;
}
