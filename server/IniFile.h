#pragma once
// Just enough INI reading for the server's own files (mirror profiles, the
// published version): sections and keys compare without regard to case.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CIniFile {
 public:
  bool Load(const std::string& path);  // false when the file cannot be read
  void Parse(std::string_view text);
  // Section names in file order, each once.
  std::vector<std::string> Sections() const;
  std::string Get(std::string_view section, std::string_view key, std::string_view fallback) const;
  long GetNumber(std::string_view section, std::string_view key, long fallback) const;

 private:
  struct Entry {
    std::string section, key, value;
  };
  std::vector<Entry> m_entries;
  std::vector<std::string> m_sections;
};
