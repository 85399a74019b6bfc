#pragma once
// Whether a published version is newer than the installed one. Both the
// start-up check and the updater's report ask here, so they never disagree:
// a version reads as a decimal number, so "2.10" is older than "2.9".
#include <string>

class VersionOrder {
 public:
  static bool IsNewer(const std::string& published, const std::string& installed);
};
