#include "app/SettingsDlgLogic.h"

#include <algorithm>
#include <cstdio>
#include "app/DownloaderApp.h"
#include "app/IniFile.h"
#include "app/NetworkSettings.h"
#include "engine/http/HostLimiter.h"
#include "engine/Common.h"
#include "engine/TextRules.h"
#include "res/Texts.h"

namespace {
std::string ItemAt(const std::vector<std::string>& items, int index) {
  if (index < 0 || index >= static_cast<int>(items.size())) return std::string();
  return items[static_cast<size_t>(index)];
}
}  // namespace

std::string SettingsDlgFields::EngineText() const { return ItemAt(engines, nEngineSel); }
std::string SettingsDlgFields::FileTypeText() const { return ItemAt(fileTypes, nFileTypeSel); }
std::string SettingsDlgFields::BlocksText() const { return ItemAt(blockItems, nBlocksSel); }

SettingsDlgFields LoadSettingsDlg(const std::string& ini) {
  SettingsDlgFields f;

  int engineSel = IniToInt(IniRead(ini, "Enginee", "CurSel", "0", 10)) - 1;
  int n = IniToInt(IniRead(ini, "Enginee", "Count", "0", 10));
  for (int i = 1; i <= n && i <= 1000; ++i)
    f.engines.push_back(IniRead(ini, "Enginee", "Enginee" + std::to_string(i), "", 20));
  // Selecting an index the combo does not have selects nothing.
  f.nEngineSel = (engineSel >= 0 && engineSel < static_cast<int>(f.engines.size())) ? engineSel : -1;

  std::string curType = IniRead(ini, "FileType", "CurSel", "", 10);
  int m = IniToInt(IniRead(ini, "FileType", "Count", "0", 10));
  for (int i = 1; i <= m && i <= 1000; ++i) {
    std::string item = IniRead(ini, "FileType", "ExtName" + std::to_string(i), "", 20);
    f.fileTypes.push_back(item);
    if (item == curType) f.nFileTypeSel = i - 1;  // a later equal entry wins
  }

  int blocksSel = IniToInt(IniRead(ini, "Size", "Blocks", "0", 10)) - 1;
  f.blockItems = {"1", "2", "3", "4", "5"};
  f.nBlocksSel = (blocksSel >= 0 && blocksSel <= 4) ? blocksSel : -1;

  f.strMinSize = IniRead(ini, "Size", "MinSize", "", 10);
  f.strMaxSize = IniRead(ini, "Size", "MaxSize", "", 10);
  f.bCheckSpeed = IniToInt(IniRead(ini, "Speed", "CheckSpeed", "1", 10)) != 0;
  f.strConTimeOut = IniRead(ini, "Speed", "ConTimeOut", "5", 10);
  f.strGetTimeOut = IniRead(ini, "Speed", "GetTimeOut", "15", 10);
  f.strProxy = IniRead(ini, "Network", "Proxy", "", CNetworkSettings::kProxyBuffer);
  // Shown as the limit it gives, by the same rule the load applies.
  const std::string hosts = IniRead(ini, "Speed", "HostConnections", "", 10);
  f.strHostConnections = std::to_string(
      hosts.find_first_of("0123456789") == std::string::npos
          ? HostLimiter::kDefaultLimit
          : std::clamp(IniToInt(hosts), HostLimiter::kMinLimit, HostLimiter::kMaxLimit));
  f.bPreferQuality = IniToInt(IniRead(ini, "Speed", "PreferQuality", "0", 10)) != 0;
  return f;
}

namespace {
// The thread count combo is editable: only a plain whole number 1 to 5 (blanks
// around it allowed) is a count a task can hold counters for.
bool IsWholeNumberIn(const std::string& text, int least, int most) {
  const size_t first = text.find_first_not_of(" \t");
  const size_t last = text.find_last_not_of(" \t");
  if (first == std::string::npos) return false;
  const std::string digits = text.substr(first, last - first + 1);
  if (digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const int n = std::stoi(digits);
  return n >= least && n <= most;
}
bool IsBlockCount(const std::string& text) { return IsWholeNumberIn(text, 1, 5); }
}  // namespace

std::string CheckSettingsDlg(const SettingsDlgInput& in, const TaskSettings& inEffect) {
  // An empty count keeps the one in effect, as the reload does.
  if (!in.strBlocks.empty() && !IsBlockCount(in.strBlocks)) return T(txt::kBlocksOutOfRange);
  const int minSize = in.strMinSize.empty() ? inEffect.m_nMinSize : MegabytesToBytes(in.strMinSize);
  const int maxSize = in.strMaxSize.empty() ? inEffect.m_nMaxSize : MegabytesToBytes(in.strMaxSize);
  if (minSize > maxSize) return T(txt::kMinAboveMax);
  const std::string& hosts = in.strHostConnections;
  if (!hosts.empty() && !IsWholeNumberIn(hosts, HostLimiter::kMinLimit, HostLimiter::kMaxLimit))
    return T(txt::kHostConnectionsOutOfRange);
  return CNetworkSettings::CheckProxy(in.strProxy);
}

std::string ConfirmSettingsDlg(const std::string& ini, const SettingsDlgInput& in, CDownloaderApp* app) {
  const TaskSettings inEffect = app ? app->GetSettings() : TaskSettings();
  std::string refusal = CheckSettingsDlg(in, inEffect);
  if (!refusal.empty()) return refusal;
  // The order is fixed: a reader that sees a half-confirmed file sees the
  // sizes first, the engine selection last.
  IniWrite(ini, "Size", "MinSize", in.strMinSize);
  IniWrite(ini, "Size", "MaxSize", in.strMaxSize);
  IniWrite(ini, "Size", "Blocks", in.strBlocks);
  IniWrite(ini, "Speed", "CheckSpeed", in.bCheckSpeed ? "1" : "0");
  IniWrite(ini, "Speed", "ConTimeOut", in.strConTimeOut);
  IniWrite(ini, "Speed", "GetTimeOut", in.strGetTimeOut);
  IniWrite(ini, "Speed", "HostConnections", TrimWhiteSpace(in.strHostConnections));
  IniWrite(ini, "Network", "Proxy", TrimWhiteSpace(in.strProxy));
  IniWrite(ini, "Speed", "PreferQuality", in.bPreferQuality ? "1" : "0");
  IniWrite(ini, "FileType", "CurSel", in.strFileType);
  int sel = in.nEngineSel < 0 ? -1 : in.nEngineSel;
  IniWrite(ini, "Enginee", "CurSel", std::to_string(sel + 1));
  if (app) app->LoadSettings();
  return std::string();
}

bool NumberEditAccepts(const std::string& text, char typed) {
  if (typed == '\b') return true;
  size_t n = text.size();
  if (n >= 4) return false;
  if (typed == '.') {
    if (n == 0 || n == 3) return false;
    return text.find('.') == std::string::npos;
  }
  return typed >= '0' && typed <= '9';
}

bool DigitEditAccepts(const std::string&, char typed) { return typed == '\b' || (typed >= '0' && typed <= '9'); }
