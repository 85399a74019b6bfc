#include "app/SettingsFile.h"

#include <algorithm>

#include "app/EngineSettings.h"
#include "app/IniFile.h"
#include "app/NetworkSettings.h"
#include "engine/http/HttpSocket.h"
#include "engine/http/HostLimiter.h"

TaskSettings ReadSettingsFile(const std::string& ini, const TaskSettings& current) {
  IniKeepPrivate(ini);
  const std::string type = IniRead(ini, "FileType", "CurSel", "", 10);
  const std::string engine = IniRead(ini, "Enginee", "CurSel", "0", 10);
  const std::string prefix = "Enginee" + engine;
  const std::string head = IniRead(ini, type, prefix + "_head", "", 100);
  const std::string tail = IniRead(ini, type, prefix + "_tail", "", 100);
  const EngineEntry server = CEngineSettings::Read(ini, engine);
  const std::vector<std::string> others = CEngineSettings::RegisterSelectedServer(ini);
  const std::string minSize = IniRead(ini, "Size", "MinSize", "", 10);
  const std::string maxSize = IniRead(ini, "Size", "MaxSize", "", 10);
  const std::string blocks = IniRead(ini, "Size", "Blocks", "", 10);
  ConTimeOut = IniToInt(IniRead(ini, "Speed", "ConTimeOut", "5", 10));
  GetTimeOut = IniToInt(IniRead(ini, "Speed", "GetTimeOut", "15", 10));
  CNetworkSettings::Load(ini);
  // A value with no number in it gives the default, not the smallest limit;
  // a number past either end is clamped by the limiter.
  const std::string hostConnections = IniRead(ini, "Speed", "HostConnections", "", 10);
  HostLimiter::Instance().SetCeiling(hostConnections.find_first_of("0123456789") == std::string::npos
                                         ? HostLimiter::kDefaultLimit
                                         : IniToInt(hostConnections));

  TaskSettings s = current;
  s.m_bCheckSpeed = IniToInt(IniRead(ini, "Speed", "CheckSpeed", "1", 10)) != 0;
  s.m_bPreferQuality = IniToInt(IniRead(ini, "Speed", "PreferQuality", "0", 10)) != 0;
  // Empty values keep what is in effect, so a half-filled file still works.
  if (!type.empty()) s.m_strFileType = type;
  if (!head.empty()) s.m_strSearchHead = head;
  if (!tail.empty()) s.m_strSearchTail = tail;
  // Set or cleared on every load: a music server never lends its search to
  // the next engine, nor keeps a password the file no longer has.
  s.m_strServer = server.m_strServer;
  s.m_strUser = server.m_strUser;
  s.m_strPassword = server.m_strPassword;
  s.m_otherServers = others;
  if (!minSize.empty()) s.m_nMinSize = MegabytesToBytes(minSize);
  if (!maxSize.empty()) s.m_nMaxSize = MegabytesToBytes(maxSize);
  // A task counts at most five blocks; a hand-edited file or a typed combo
  // text must not get past that.
  if (!blocks.empty()) s.m_nBlocks = std::clamp(IniToInt(blocks), 1, 5);
  return s;
}
