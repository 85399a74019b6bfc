#include "app/ProgramDirectorySetup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include "app/IniFile.h"
#include "app/SeedRecord.h"
#include "engine/ProgramDirectory.h"
#include "res/Texts.h"

#ifndef VIRELOMP3_VERSION
#error "VIRELOMP3_VERSION comes from the project version in CMake"
#endif
const char kBuildVersion[] = VIRELOMP3_VERSION;
const char kSeedRecordName[] = "seeded.md5";

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

// A copy of from replacing to in one step: to is whole, old or new.
bool ReplaceWith(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::path tmp = to;
  tmp += ".seed." + std::to_string(getpid());
  bool ok = fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec);
  if (ok) fs::rename(tmp, to, ec);
  ok = ok && !ec;
  if (!ok) fs::remove(tmp, ec);
  return ok;
}

// A shipped file into home: copied when missing; replaced by a newer
// shipped one while the user has not changed it since it was seeded (its
// checksum is still the recorded one); else kept. A file from before the
// record counts as seeded only when it equals the shipped one.
bool SeedFile(const fs::path& from, const fs::path& to, const std::string& rel, SeedRecord& record) {
  const std::string shipped = SeedRecord::FileMd5(from.string());
  if (shipped.empty()) return false;
  std::error_code ec;
  if (fs::symlink_status(to, ec).type() == fs::file_type::not_found) {
    if (!CopyIfMissing(from, to)) return false;
    record.Set(rel, shipped);
    return true;
  }
  if (!fs::is_regular_file(fs::symlink_status(to, ec))) return true;  // not ours to replace
  const std::string mine = SeedRecord::FileMd5(to.string());
  if (mine == shipped) {
    record.Set(rel, shipped);
    return true;
  }
  const std::string seeded = record.Get(rel);
  if (seeded.empty() || mine != seeded) return true;
  if (!ReplaceWith(from, to)) return false;
  record.Set(rel, shipped);
  return true;
}

bool SeedTree(const fs::path& from, const fs::path& to, const std::string& rel, SeedRecord& record) {
  std::error_code ec;
  if (!fs::is_directory(from, ec)) return true;
  fs::create_directories(to, ec);
  if (!fs::is_directory(to, ec)) return false;
  bool ok = true;
  for (const fs::directory_entry& e : fs::directory_iterator(from, ec)) {
    const std::string name = e.path().filename().string();
    if (e.is_directory(ec)) ok = SeedTree(e.path(), to / name, rel + "/" + name, record) && ok;
    else if (e.is_regular_file(ec)) ok = SeedFile(e.path(), to / name, rel + "/" + name, record) && ok;
  }
  return ok && !ec;
}

}  // namespace

bool SeedProgramDirectory(const std::string& dataDir, const std::string& home, const std::string& version) {
  std::error_code ec;
  fs::create_directories(home, ec);
  if (!fs::is_directory(home, ec)) return false;
  const fs::path data(dataDir), dir(home);
  // The settings are the user's from the first start on; the pages, the
  // banners and the file naming them follow the package.
  if (fs::is_regular_file(data / "MP3.ini", ec)) CopyIfMissing(data / "MP3.ini", dir / "MP3.ini", true);
  SeedRecord record((dir / kSeedRecordName).string());
  if (fs::is_regular_file(data / "Movie.ini", ec)) SeedFile(data / "Movie.ini", dir / "Movie.ini", "Movie.ini", record);
  for (const char* tree : {"html", "banners"}) SeedTree(data / tree, dir / tree, tree, record);
  record.Save();
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
