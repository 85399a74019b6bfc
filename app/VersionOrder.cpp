#include "app/VersionOrder.h"

#include "app/IniFile.h"

bool VersionOrder::IsNewer(const std::string& published, const std::string& installed) {
  return IniToDouble(installed) < IniToDouble(published);
}
