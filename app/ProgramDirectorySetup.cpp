#include "app/ProgramDirectorySetup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include "app/IniFile.h"
#include "engine/ProgramDirectory.h"
#include "res/Texts.h"

#ifndef VIRELOMP3_VERSION
#error "VIRELOMP3_VERSION comes from the project version in CMake"
#endif
const char kBuildVersion[] = VIRELOMP3_VERSION;

namespace fs = std::filesystem;

namespace {

// A partly copied file must never pass for a seeded one: copy under a
// private name, then rename. Two copies starting at once both end well.
bool CopyIfMissing(const fs::path& from, const fs::path& to, bool ownerOnly = false) {
  std::error_code ec;
  if (fs::symlink_status(to, ec).type() != fs::file_type::not_found) return true;
  fs::path tmp = to;
  tmp += ".seed." + std::to_string(getpid());
  if (!fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec)) {
    fs::remove(tmp, ec);
    return false;
  }
  // The installed file is world-readable; the user's copy will hold passwords.
  if (ownerOnly && ::chmod(tmp.c_str(), 0600) != 0) {
    fs::remove(tmp, ec);
    return false;
  }
  // link() refuses to replace a file that appeared meanwhile.
  const bool ok = ::link(tmp.c_str(), to.c_str()) == 0 || errno == EEXIST;
  fs::remove(tmp, ec);
  return ok;
}

bool CopyTreeIfMissing(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (!fs::is_directory(from, ec)) return true;
  fs::create_directories(to, ec);
  if (!fs::is_directory(to, ec)) return false;
  bool ok = true;
  for (const fs::directory_entry& e : fs::directory_iterator(from, ec)) {
    const fs::path target = to / e.path().filename();
    if (e.is_directory(ec)) ok = CopyTreeIfMissing(e.path(), target) && ok;
    else if (e.is_regular_file(ec)) ok = CopyIfMissing(e.path(), target) && ok;
  }
  return ok && !ec;
}

}  // namespace

bool SeedProgramDirectory(const std::string& dataDir, const std::string& home, const std::string& version) {
  std::error_code ec;
  fs::create_directories(home, ec);
  if (!fs::is_directory(home, ec)) return false;
  const fs::path data(dataDir), dir(home);
  for (const char* file : {"MP3.ini", "Movie.ini"}) {
    if (fs::is_regular_file(data / file, ec))
      CopyIfMissing(data / file, dir / file, std::string(file) == "MP3.ini");
  }
  for (const char* tree : {"html", "banners"}) CopyTreeIfMissing(data / tree, dir / tree);
  fs::create_directory(dir / std::string(txt::kDownloadedFolder), ec);

  const std::string ini = (dir / "MP3.ini").string();
  if (fs::is_regular_file(ini, ec) && IniRead(ini, "Update", "Version", "", 10) != version)
    IniWrite(ini, "Update", "Version", version);
  return true;
}

bool PrepareProgramDirectory() {
  const char* forced = std::getenv("VIRELOMP3_HOME");
  if (forced && *forced) return true;
  const std::string exeDir = GetExecutableDirectory();
  const std::string data = FindInstalledDataDirectory(exeDir);
  if (data.empty()) return true;
  const std::string home = GetUserProgramDirectory();
  if (home.empty()) return false;
  return SeedProgramDirectory(data, home, kBuildVersion);
}
