#include "app/EngineSettings.h"

#include <algorithm>

#include "app/IniFile.h"
#include "engine/Gbk.h"
#include "task/SubsonicServer.h"

namespace {

const char kSection[] = "Enginee";

}  // namespace

EngineEntry CEngineSettings::Read(const std::string& ini, const std::string& n) {
  const std::string key = kSection + n;
  EngineEntry e;
  e.m_strName = IniRead(ini, kSection, key, "", kNameBuffer);
  e.m_strServer = IniRead(ini, kSection, key + "_server", "", kServerBuffer);
  e.m_strUser = IniRead(ini, kSection, key + "_user", "", kUserBuffer);
  e.m_strPassword = IniRead(ini, kSection, key + "_password", "", kPasswordBuffer);
  return e;
}

std::vector<EngineEntry> CEngineSettings::ReadAll(const std::string& ini) {
  std::vector<EngineEntry> all;
  const int count = IniToInt(IniRead(ini, kSection, "Count", "0", 10));
  // A hand-edited count must not make us read thousands of keys.
  for (int i = 1; i <= count && i <= 999; ++i) all.push_back(Read(ini, std::to_string(i)));
  return all;
}

bool CEngineSettings::Write(const std::string& ini, int n, const EngineEntry& entry,
                            const std::string& typedPassword) {
  if (n < 1) return false;
  const std::string key = kSection + std::to_string(n);
  bool ok = IniWrite(ini, kSection, key, CutGbk(entry.m_strName, kNameBuffer - 1));
  const bool server = !entry.m_strServer.empty();
  ok = IniWrite(ini, kSection, key + "_server", server ? entry.m_strServer : "") && ok;
  ok = IniWrite(ini, kSection, key + "_user", server ? entry.m_strUser : "") && ok;
  std::string password = entry.m_strPassword;
  if (!typedPassword.empty()) password = CSubsonicServer::EncodePassword(typedPassword);
  // Cut as a whole: half a hex pair would be read back as a plain password.
  if (password.size() > kPasswordBuffer - 1) return false;
  ok = IniWrite(ini, kSection, key + "_password", server ? password : "") && ok;
  const int count = IniToInt(IniRead(ini, kSection, "Count", "0", 10));
  if (n > count) ok = IniWrite(ini, kSection, "Count", std::to_string(n)) && ok;
  return ok;
}

int CEngineSettings::ServerTarget(const std::string& ini, int selIndex, EngineEntry& entry) {
  entry = EngineEntry{};
  const std::vector<EngineEntry> all = ReadAll(ini);
  if (selIndex >= 0 && selIndex < static_cast<int>(all.size()) &&
      !all[selIndex].m_strServer.empty()) {
    entry = all[selIndex];
    return selIndex + 1;
  }
  // Past the last engine the file counts, even when Count says less than
  // the keys there are: a stale key of the new number is overwritten.
  const int count = IniToInt(IniRead(ini, kSection, "Count", "0", 10));
  return std::max(count, 0) + 1;
}

std::vector<std::string> CEngineSettings::RegisterSelectedServer(const std::string& ini) {
  const EngineEntry selected = Read(ini, IniRead(ini, kSection, "CurSel", "0", 10));
  CSubsonicServer::KeepOnly(selected.m_strServer);
  if (!selected.m_strServer.empty())
    CSubsonicServer::For(selected.m_strServer, selected.m_strUser, selected.m_strPassword);
  std::vector<std::string> others;
  const std::string base = CSubsonicServer::BaseOf(selected.m_strServer);
  for (const EngineEntry& e : ReadAll(ini)) {
    const std::string other = CSubsonicServer::BaseOf(e.m_strServer);
    if (!other.empty() && other != base) others.push_back(other);
  }
  return others;
}
