#pragma once
// What the updater found: the published version, where to get it, and
// whether this copy came from a package (then the package manager updates
// it, not us). Plain code so the console and the window show the same.
#include <string>
#include <vector>

struct UpdateFindings {
  std::string m_strPublished;  // [MP3] VERSION of the version file; "" when unknown
  std::string m_strWhere;      // [MP3] URL of the version file, else its folder
  std::string m_strError;      // GBK; why nothing was found
  bool m_bFromPackage = false;
};

// Fetches the version file (http only) and reads it. programPath is the
// program's own executable, used to tell an installed copy.
UpdateFindings FindUpdate(const std::string& versionFileUrl, const std::string& programPath);

// True for an executable laid out as a package installs it: no MP3.ini
// beside it and ../share/virelomp3/MP3.ini relative to it.
bool IsPackagedLayout(const std::string& programPath);

// The lines to show (UTF-8), in order.
std::vector<std::string> UpdateReportLines(const std::string& installedVersion,
                                           const UpdateFindings& found);
