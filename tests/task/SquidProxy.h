#pragma once
// squid as the proxy of a school or company network, from a private
// configuration in the test's folder. Its hosts file names hosts that only
// the proxy can resolve, so a test proves the client let the proxy resolve
// them. Header only.
#include <sys/stat.h>

#include <string>

#include "tests/support/TempHome.h"
#include "tests/task/ServerProcess.h"

namespace vtest {

class SquidProxy {
 public:
  static std::string Program() {
    for (const char* p : {"/usr/sbin/squid", "/usr/bin/squid"})
      if (access(p, X_OK) == 0) return p;
    return std::string();
  }

  // dir must be reachable by the proxy user squid drops to: its parents
  // searchable. hostsLines: "127.0.0.1 songs.test" and such.
  bool Start(const std::string& dir, const std::string& hostsLines) {
    m_dir = dir;
    const std::string squid = Program();
    if (squid.empty()) return false;
    mkdir(dir.c_str(), 0777);
    chmod(dir.c_str(), 0777);
    if (!WriteFile(dir + "/hosts", hostsLines)) return false;
    chmod((dir + "/hosts").c_str(), 0644);
    for (int attempt = 0; attempt < 5; ++attempt) {
      m_port = UnusedLoopbackPort();
      const std::string conf =
          "http_port 127.0.0.1:" + std::to_string(m_port) + "\n"
          "http_access allow all\ncache deny all\n"
          "access_log stdio:" + dir + "/access.log\ncache_log " + dir + "/cache.log\n"
          "pid_filename " + dir + "/squid.pid\ncoredump_dir " + dir + "\nhosts_file " + dir + "/hosts\n"
          "dns_nameservers 127.0.0.1\nshutdown_lifetime 0 seconds\n";
      if (!WriteFile(dir + "/squid.conf", conf)) return false;
      chmod((dir + "/squid.conf").c_str(), 0644);
      if (m_process.Start({squid, "-N", "-f", dir + "/squid.conf"}, dir + "/start.log", m_port)) return true;
    }
    return false;
  }

  int Port() const { return m_port; }
  std::string Address() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  std::string AccessLog() const { return ReadFile(m_dir + "/access.log"); }
  std::string StartLog() const { return ReadFile(m_dir + "/start.log") + ReadFile(m_dir + "/cache.log"); }

 private:
  std::string m_dir;
  int m_port = 0;
  ServerProcess m_process;
};

}  // namespace vtest
