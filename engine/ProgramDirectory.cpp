#include "engine/ProgramDirectory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string StripSlashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string AccountHome() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found || !found->pw_dir)
    return std::string();
  return found->pw_dir;
}

}  // namespace

std::string GetExecutableDirectory() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  std::string dir(buf, static_cast<size_t>(n));
  size_t slash = dir.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : dir.substr(0, slash);
}

std::string FindInstalledDataDirectory(const std::string& exeDir) {
  if (exeDir.empty()) return std::string();
  const std::string dir = StripSlashes(exeDir);
  if (IsRegularFile(dir + "/MP3.ini")) return std::string();
  // The parent by name, so /usr/bin gives /usr/share/virelomp3 as packaged.
  size_t slash = dir.rfind('/');
  std::string parent = slash == std::string::npos || slash == 0 ? std::string() : dir.substr(0, slash);
  std::string data = parent + "/share/virelomp3";
  return IsRegularFile(data + "/MP3.ini") ? data : std::string();
}

std::string GetUserProgramDirectory() {
  // A relative XDG_DATA_HOME is invalid and to be ignored.
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return StripSlashes(xdg) + "/virelomp3";
  const char* home = std::getenv("HOME");
  std::string base = home && home[0] == '/' ? std::string(home) : AccountHome();
  if (base.empty()) return std::string();
  base = StripSlashes(base);
  return (base == "/" ? std::string() : base) + "/.local/share/virelomp3";
}

std::string ProgramDirectoryFor(const std::string& exeDir) {
  if (!FindInstalledDataDirectory(exeDir).empty()) {
    std::string user = GetUserProgramDirectory();
    if (!user.empty()) return user;
  }
  return StripSlashes(exeDir);
}

std::string GetDataDirectory() {
  const std::string exeDir = GetExecutableDirectory();
  std::string data = FindInstalledDataDirectory(exeDir);
  return data.empty() ? exeDir : data;
}
