#include "app/NetworkSettings.h"

#include "app/IniFile.h"
#include "engine/Common.h"
#include "engine/TextRules.h"
#include "engine/http/ProxyChoice.h"
#include "res/Texts.h"

NetworkOptions CNetworkSettings::Read(const std::string& ini) {
  NetworkOptions o;
  o.proxy = TrimWhiteSpace(IniRead(ini, "Network", "Proxy", "", kProxyBuffer));
  o.caFile = TrimWhiteSpace(IniRead(ini, "Network", "CAFile", "", kCAFileBuffer));
  if (!o.caFile.empty() && o.caFile[0] != '/') {
    const size_t slash = ini.rfind('/');
    if (slash != std::string::npos) o.caFile = ini.substr(0, slash + 1) + o.caFile;
  }
  return o;
}

void CNetworkSettings::Load(const std::string& ini) { SetNetworkOptions(Read(ini)); }

std::string CNetworkSettings::CheckProxy(const std::string& value) {
  const std::string v = TrimWhiteSpace(value);
  if (v.empty()) return std::string();
  // Asked for an outside address with nothing in the environment: exactly
  // what the setting itself says.
  const ProxyChoice c = ChooseProxyWith("http://example.org/", v, [](const char*) -> const char* { return nullptr; });
  if (c.direct && c.fault.empty()) return std::string();  // "none"
  if (!c.fault.empty() || c.host.empty()) return T(txt::kProxyUnusable);
  return std::string();
}
