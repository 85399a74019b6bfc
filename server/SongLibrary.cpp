#include "server/SongLibrary.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "engine/Gbk.h"
#include "engine/TextRules.h"

namespace fs = std::filesystem;

bool NameContains(std::string_view name, std::string_view key) {
  if (key.size() > name.size()) return false;
  // UTF-8 never matches inside a character, so a byte search is exact.
  for (size_t i = 0; i + key.size() <= name.size(); ++i) {
    if (SameTextIgnoringCase(name.substr(i, key.size()), key)) return true;
  }
  return false;
}

CSongLibrary::CSongLibrary(std::string songsDirectory) : m_strDirectory(std::move(songsDirectory)) {}

std::vector<LibrarySong> CSongLibrary::List() const {
  std::vector<LibrarySong> songs;
  std::error_code ec;
  fs::recursive_directory_iterator it(m_strDirectory, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& path = it->path();
    std::string file = path.filename().string();
    if (file.empty() || file.front() == '.') {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(ec)) continue;
    std::string relative = fs::relative(path, m_strDirectory, ec).generic_string();
    if (ec || relative.empty()) continue;
    std::string gbk;
    // A name the client could never type in GBK cannot be searched for.
    if (!IsValidUtf8(relative) || !Utf8ToGbk(relative, gbk)) continue;
    LibrarySong song;
    song.relativePath = relative;
    size_t dot = file.rfind('.');
    song.name = dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
    song.extension = dot == std::string::npos || dot == 0 ? std::string() : AsciiUpper(file.substr(dot));
    songs.push_back(std::move(song));
  }
  std::sort(songs.begin(), songs.end(),
            [](const LibrarySong& a, const LibrarySong& b) { return a.relativePath < b.relativePath; });
  return songs;
}

std::vector<LibrarySong> CSongLibrary::Search(std::string_view keyUtf8, std::string_view extension) const {
  std::vector<LibrarySong> found;
  if (keyUtf8.find_first_not_of(" \t") == std::string_view::npos) return found;
  std::string wanted = AsciiUpper(std::string(extension));
  for (LibrarySong& song : List()) {
    if (song.extension == wanted && NameContains(song.name, keyUtf8)) found.push_back(std::move(song));
  }
  return found;
}
