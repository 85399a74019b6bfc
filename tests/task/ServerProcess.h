#pragma once
// A real server program (nginx, squid) started by a test: its own argument
// vector, output into a log file, up once its loopback port answers, and
// stopped with the test. Header only.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

extern char** environ;

namespace vtest {

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts args (args[0] a path) with stdout and stderr into log and waits
  // until 127.0.0.1:port takes connections. False, with nothing left
  // running, when the program ended or the port stayed shut for 10 s.
  bool Start(const std::vector<std::string>& args, const std::string& log, int port) {
    Stop();
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    const int rc = posix_spawn(&m_pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) {
      m_pid = -1;
      return false;
    }
    for (int i = 0; i < 200; ++i) {
      int fd = ConnectLoopback(port, 500);
      if (fd >= 0) {
        close(fd);
        return true;
      }
      if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Stop();
    return false;
  }

  // SIGTERM, then SIGKILL when it has not ended within 5 s.
  void Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

  bool Running() const { return m_pid > 0; }

 private:
  pid_t m_pid = -1;
};

// Runs a command line through the shell and says whether it succeeded.
inline bool RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace vtest
