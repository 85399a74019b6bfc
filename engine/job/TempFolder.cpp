#include "engine/job/TempFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "res/Texts.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string WithoutSlashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return {};
}

// The folders between an absolute base we trust (the user's home) and the
// folder itself, made 0700 where missing.
void MakeParents(const std::string& dir) {
  for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
    ::mkdir(dir.substr(0, slash).c_str(), 0700);
}

}  // namespace

std::string TempFolder::PrivateUnder(const std::string& base) {
  return WithoutSlashes(base) + "/virelomp3-" + std::to_string(::geteuid());
}

std::string TempFolder::Claim(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return std::strerror(errno);
  struct stat st{};
  if (::lstat(dir.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISLNK(st.st_mode)) return txt::kTempFolderIsLink;
  if (!S_ISDIR(st.st_mode)) return txt::kTempFolderNotFolder;
  if (st.st_uid != ::geteuid()) return txt::kTempFolderOtherOwner;
  // Files others could have put in are not worth sorting out.
  if ((st.st_mode & 022) != 0) return txt::kTempFolderOpenToOthers;
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return std::strerror(errno);
  return {};
}

TempFolder::Choice TempFolder::Decide() {
  Choice choice;
  const std::string tmp = Env("TMPDIR");
  choice.m_strFirst = PrivateUnder(tmp.empty() ? "/tmp" : tmp);
  choice.m_strReason = Claim(choice.m_strFirst);
  if (choice.m_strReason.empty()) {
    choice.m_strPath = choice.m_strFirst + "/";
    return choice;
  }
  // Only absolute places: a relative one would follow the current folder.
  const std::string runtime = WithoutSlashes(Env("XDG_RUNTIME_DIR"));
  if (runtime.size() > 1 && runtime[0] == '/' && Claim(runtime + "/virelomp3").empty()) {
    choice.m_strPath = runtime + "/virelomp3/";
    return choice;
  }
  const std::string home = WithoutSlashes(HomeFolder());
  if (home.size() > 1 && home[0] == '/') {
    const std::string cache = home + "/.cache/virelomp3/tmp";
    MakeParents(cache);
    if (Claim(cache).empty()) choice.m_strPath = cache + "/";
  }
  return choice;
}

std::string TempFolder::FormerFolder() {
  const std::string tmp = Env("TMPDIR");
  if (tmp.empty()) return {};
  return tmp.back() == '/' ? tmp : tmp + "/";
}

std::string TempFolder::RefusalText(const Choice& choice) {
  if (!choice.m_strPath.empty()) return {};
  char text[1024];
  std::snprintf(text, sizeof text, txt::kTempFolderRefused, choice.m_strFirst.c_str(), choice.m_strReason.c_str());
  return T(text);
}

std::string TempFolder::RefusalText() { return RefusalText(Decide()); }
