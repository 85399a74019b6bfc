#include "engine/Common.h"
#include "engine/ProgramDirectory.h"
#include "engine/job/TempFolder.h"

#include <chrono>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

std::mutex g_lock;

std::string GetAppDirectory() {
  const char* home = std::getenv("VIRELOMP3_HOME");
  std::string dir;
  if (home && *home) {
    dir = home;
  } else {
    dir = ProgramDirectoryFor(GetExecutableDirectory());
  }
  // "/" alone stays: stripping it would turn the root into a relative path.
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string GetIniFilePath() { return GetAppDirectory() + "/MP3.ini"; }

int GetFileLength(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  int result = 0;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    result = static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(st.st_size)));
  close(fd);
  return result;
}

bool IsFileExist(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  close(fd);
  return regular;
}

std::string GetTempDirectory() { return TempFolder::Decide().m_strPath; }

std::string GetPathFileName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string GetPathFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void InsertThousandSeparators(std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 3);
  size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    out += text[i];
    size_t left = n - 1 - i;
    if (left > 0 && left % 3 == 0) out += ',';
  }
  text.swap(out);
}

std::string FormatMinutesSeconds(int seconds) {
  // Hours fold into the minutes: the elapsed text is stored and parsed back
  // when a task restarts, so dropping them would lose the task's time.
  int minutes = seconds / 60;
  int rest = seconds - 60 * minutes;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%dm:%ds", minutes, rest);
  return buf;
}

long long GetTickMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
