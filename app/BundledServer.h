#pragma once
// The bundled music server, started on demand. A fresh installation has no
// search engine of its own, so when a search is about to ask the built-in
// engine and nothing answers on its port, the program starts
// virelomp3-server as its own child on 127.0.0.1 and waits until it
// answers. A server that already answers (another copy's, or one started by
// hand) is used as it is. The child ends with its owner: Stop() at the end
// of the program, and the kernel's parent-death signal should the program
// die without it.
#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct BundledServerOptions {
  // The built-in engine's port; searches on 127.0.0.1 (or localhost) at
  // this port are the ones served.
  int nPort = 0;  // 0: the built-in port
  // Empty: virelomp3-server beside the executable.
  std::string strServerPath;
  // Empty: server-root in the data folder (installed or beside the program).
  std::string strRoot;
  // Empty: server.log in the temporary directory.
  std::string strLogPath;
  // How long a start may take before the search goes ahead without it.
  int nStartTimeoutMs = 15000;
};

class CBundledServer {
 public:
  explicit CBundledServer(const BundledServerOptions& options = BundledServerOptions());
  // Stops the child, if one runs.
  ~CBundledServer();
  CBundledServer(const CBundledServer&) = delete;
  CBundledServer& operator=(const CBundledServer&) = delete;

  // True when url is an http address on the loopback host at our port.
  bool Serves(const std::string& url) const;
  // For a url Serves(): when nothing answers, starts the server (unless a
  // child of ours is still starting) and waits until something answers, the
  // start fails, cancelled() says so or the time-out passes. True when
  // something answers on return. Urls elsewhere return false at once.
  // Callable from any number of threads at once; one starts, the others wait.
  bool EnsureFor(const std::string& url, const std::function<bool()>& cancelled = {});
  // Something accepts connections on 127.0.0.1 at our port.
  bool Answers() const;
  // Ends the child (SIGTERM, then SIGKILL after a while) and waits for it.
  // A server we did not start is left alone.
  void Stop();
  // Process id of the running child, or -1.
  pid_t GetChildPid();
  // How many children were started, for tests and diagnostics.
  int GetStartCount();

 private:
  bool StartLocked();  // m_startLock held
  void KeeperProc(std::string path, std::vector<std::string> args, int devNull);
  void JoinKeeper();

  const BundledServerOptions m_options;
  const int m_nPort;

  // One starter at a time; held while waiting for the child to answer.
  std::mutex m_startLock;

  // The child's state, written by the keeper thread.
  std::mutex m_childLock;
  std::condition_variable m_childCv;
  pid_t m_nPid = -1;
  bool m_bForked = false;  // the keeper's fork is done (m_nPid tells how)
  bool m_bExited = true;   // no child, or it ended (zombie or reaped)
  int m_nStarts = 0;

  // Forks the child and waits for it. The parent-death signal belongs to
  // the thread that forked, so that thread lives exactly as long as the
  // child.
  std::thread m_keeper;
};
