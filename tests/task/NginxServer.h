#pragma once
// nginx from a private configuration: pid, logs and temp files in the
// test's folder, listening on 127.0.0.1 only, on ports picked free.
// Header only.
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/TempHome.h"
#include "tests/task/ServerProcess.h"

namespace vtest {

class NginxServer {
 public:
  // The server blocks for the given free ports (ports.size() == count).
  using Servers = std::function<std::string(const std::vector<int>& ports)>;

  static std::string Program() {
    for (const char* p : {"/usr/sbin/nginx", "/usr/bin/nginx"})
      if (access(p, X_OK) == 0) return p;
    return std::string();
  }

  // False when nginx is missing or would not start on any of five port sets.
  bool Start(const std::string& dir, int count, const Servers& servers) {
    m_dir = dir;
    const std::string nginx = Program();
    if (nginx.empty()) return false;
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/tmp").c_str(), 0755);
    for (int attempt = 0; attempt < 5; ++attempt) {
      m_ports.clear();
      for (int i = 0; i < count; ++i) m_ports.push_back(UnusedLoopbackPort());
      const std::string conf =
          "daemon off;\nworker_processes 1;\npid " + dir + "/nginx.pid;\nerror_log " + dir + "/error.log warn;\n"
          "events { worker_connections 64; }\nhttp {\n  types { text/html html; audio/mpeg mp3; }\n"
          "  access_log " + dir + "/access.log;\n  client_body_temp_path " + dir + "/tmp/body;\n"
          "  proxy_temp_path " + dir + "/tmp/proxy;\n  fastcgi_temp_path " + dir + "/tmp/fastcgi;\n"
          "  uwsgi_temp_path " + dir + "/tmp/uwsgi;\n  scgi_temp_path " + dir + "/tmp/scgi;\n" +
          servers(m_ports) + "}\n";
      if (!WriteFile(dir + "/nginx.conf", conf)) return false;
      if (m_process.Start({nginx, "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"},
                          dir + "/start.log", m_ports[0]))
        return true;
    }
    return false;
  }

  int Port(size_t i) const { return m_ports.at(i); }
  std::string AccessLog() const { return ReadFile(m_dir + "/access.log"); }

 private:
  std::string m_dir;
  std::vector<int> m_ports;
  ServerProcess m_process;
};

}  // namespace vtest
