#pragma once
// virelomp3-cli as a child process of a test: its output in files (or its
// stdout in a pipe the test can close), and a bounded wait for its end.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempHome.h"

namespace apptest {

struct Child {
  pid_t pid = -1;
  std::string out, err;  // paths of its stdout and stderr
  int outPipe = -1;      // read end of its stdout when spawned with a pipe
};

inline Child Spawn(const std::vector<std::string>& args, const std::string& dir, const std::string& stdinText = "",
                   bool pipeOut = false) {
  Child c;
  c.out = dir + "/cli.out";
  c.err = dir + "/cli.err";
  const std::string in = dir + "/cli.in";
  vtest::WriteFile(in, stdinText);
  std::vector<std::string> argv = {VIRELOMP3_CLI};
  argv.insert(argv.end(), args.begin(), args.end());
  int fds[2] = {-1, -1};
  if (pipeOut && pipe(fds) != 0) return c;
  c.pid = fork();
  if (c.pid == 0) {
    int i = open(in.c_str(), O_RDONLY), e = open(c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int o = pipeOut ? fds[1] : open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(i, 0);
    dup2(o, 1);
    dup2(e, 2);
    if (pipeOut) close(fds[0]);
    // The child starts with the default dispositions whatever the test runner set.
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> v;
    for (std::string& a : argv) v.push_back(a.data());
    v.push_back(nullptr);
    execv(v[0], v.data());
    _exit(127);
  }
  if (pipeOut) {
    close(fds[1]);
    c.outPipe = fds[0];
  }
  return c;
}

// Exit status (128 + signal when killed by one), or -1 when it had to be
// killed after ms.
inline int WaitPid(pid_t pid, int ms = 60000) {
  int status = 0;
  for (int waited = 0; waited < ms; waited += 20) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}
inline int Wait(const Child& c, int ms = 60000) { return WaitPid(c.pid, ms); }

// Runs the program to its end: exit status, stdout and stderr.
struct CliRun {
  int status = -1;
  std::string out, err;
};
inline CliRun RunCli(const std::vector<std::string>& args, const std::string& dir, const std::string& stdinText = "") {
  Child c = Spawn(args, dir, stdinText);
  CliRun r;
  r.status = Wait(c);
  r.out = vtest::ReadFile(c.out);
  r.err = vtest::ReadFile(c.err);
  return r;
}

}  // namespace apptest
