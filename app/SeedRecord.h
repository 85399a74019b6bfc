#pragma once
// What seeding put into a user's program directory: one checksum per file
// copied from the installed data folder, so a later start can tell a page
// the user never touched (replaced when the package ships a newer one)
// from one the user changed (kept). One line per file: "<md5> <path>",
// the path relative to the program directory.
#include <map>
#include <string>

class SeedRecord {
 public:
  // Reads the record at path; a missing or unreadable one is empty.
  explicit SeedRecord(std::string path);

  // The checksum recorded for rel, "" when none.
  std::string Get(const std::string& rel) const;
  void Set(const std::string& rel, const std::string& md5);
  // Writes the record (temp file + rename) when it changed. False on a
  // failed write; the old record then stays.
  bool Save();

  // The checksum of a file's bytes, "" when it cannot be read.
  static std::string FileMd5(const std::string& path);

 private:
  const std::string m_strPath;
  std::map<std::string, std::string> m_sums;
  bool m_bChanged = false;
};
