#include "app/UpdateReport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/IniFile.h"
#include "app/VersionOrder.h"
#include "engine/Common.h"
#include "engine/job/DiskWrite.h"
#include "engine/Gbk.h"
#include "engine/ProgramDirectory.h"
#include "engine/job/TempFolder.h"
#include "res/Texts.h"
#include "task/RobotInternet.h"

namespace {

std::string Fill(const char* pattern, const std::string& value) {
  std::string out = pattern;
  const size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, value);
  return out;
}

}  // namespace

bool IsPackagedLayout(const std::string& programPath) {
  return !FindInstalledDataDirectory(std::filesystem::path(programPath).parent_path().string()).empty();
}

UpdateFindings FindUpdate(const std::string& versionFileUrl, const std::string& programPath) {
  UpdateFindings found;
  found.m_bFromPackage = IsPackagedLayout(programPath);
  CRobotInternet robot;
  std::string page, error;
  int code = 0;
  if (!robot.GetPage(versionFileUrl, page, code, error) || page.empty()) {
    found.m_strError = error.empty() ? Utf8ToGbk(versionFileUrl) : error;
    return found;
  }
  // The INI reader works on files; a private name keeps two updaters apart.
  const std::string temp = GetTempDirectory();
  if (temp.empty()) {
    found.m_strError = TempFolder::RefusalText();
    return found;
  }
  std::string path = temp + "update-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    found.m_strError = Utf8ToGbk(path);
    return found;
  }
  const bool written = WriteAll(fd, page.data(), page.size());
  ::close(fd);
  if (written) {
    found.m_strPublished = IniRead(path, "MP3", "VERSION", "", 64);
    found.m_strWhere = IniRead(path, "MP3", "URL", "", 512);
  }
  ::unlink(path.c_str());
  if (found.m_strWhere.empty()) found.m_strWhere = versionFileUrl.substr(0, versionFileUrl.rfind('/') + 1);
  if (found.m_strPublished.empty()) found.m_strError = Utf8ToGbk(versionFileUrl);
  return found;
}

std::vector<std::string> UpdateReportLines(const std::string& installedVersion,
                                           const UpdateFindings& found) {
  std::vector<std::string> lines;
  lines.push_back(Fill(txt::kUpdateInstalled, installedVersion));
  if (found.m_strPublished.empty()) {
    lines.push_back(Fill(txt::kUpdateNoVersion, GbkToUtf8(found.m_strError)));
  } else {
    lines.push_back(Fill(txt::kUpdatePublished, GbkToUtf8(found.m_strPublished)));
    const bool newer = VersionOrder::IsNewer(found.m_strPublished, installedVersion);
    lines.push_back(newer ? txt::kUpdateNewer : txt::kUpdateCurrent);
    if (newer && !found.m_bFromPackage) lines.push_back(Fill(txt::kUpdateWhere, GbkToUtf8(found.m_strWhere)));
  }
  if (found.m_bFromPackage) lines.push_back(txt::kUpdateFromPackage);
  return lines;
}
