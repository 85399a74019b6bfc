#pragma once
// MP3.ini's [Network] section: the proxy every connection of the program
// goes through and a trust file of the user's (a home server with its own
// certificate authority). Read with the other settings and handed to the
// network layer, which every download, probe and page fetch obeys.
#include <string>

#include "engine/http/NetworkOptions.h"

class CNetworkSettings {
 public:
  static constexpr size_t kProxyBuffer = 260;
  static constexpr size_t kCAFileBuffer = 1024;

  // The section's values; a relative CAFile is taken from the folder of
  // the file.
  static NetworkOptions Read(const std::string& iniPath);
  // Read, then in effect for every connection made from now on.
  static void Load(const std::string& iniPath);
  // Why a typed proxy value cannot be used, as a GBK text; empty when it
  // can ("", "none" and http://[user:password@]host:port).
  static std::string CheckProxy(const std::string& value);
};
