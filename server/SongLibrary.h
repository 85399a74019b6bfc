#pragma once
// The songs below <root>/songs, found afresh on every search so a test or
// a user can drop files in while the server runs.
#include <string>
#include <string_view>
#include <vector>

struct LibrarySong {
  std::string relativePath;  // below the songs folder, UTF-8, "/"-separated
  std::string name;          // file name without its extension, UTF-8
  std::string extension;     // with the dot, upper case: ".MP3"
};

class CSongLibrary {
 public:
  explicit CSongLibrary(std::string songsDirectory);

  std::vector<LibrarySong> List() const;
  // Songs of the given extension (".MP3") whose name contains key (UTF-8),
  // ASCII letters compared without case; sorted by path. A key of blanks
  // only finds nothing.
  std::vector<LibrarySong> Search(std::string_view keyUtf8, std::string_view extension) const;

 private:
  std::string m_strDirectory;
};

// True when name contains key, ASCII letters compared without case.
bool NameContains(std::string_view name, std::string_view key);
