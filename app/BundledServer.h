#pragma once
// The bundled music server, started on demand. A fresh installation has no
// search engine of its own, so when a search is about to ask the built-in
// engine and nothing answers on its port, the program starts
// virelomp3-server as its own child on 127.0.0.1 and waits until it
// answers. A server that already answers there is used as it is only when
// its listener is this user's (another copy's, or one started by hand);
// when another user's program holds the port, ours starts on a free port,
// the console says so, and addresses on the built-in host are turned to
// that port before they are asked. The child ends with its owner: Stop()
// at the end of the program, and the kernel's parent-death signal should
// the program die without it.
#include <sys/types.h>

#include <atomic>
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
  // The address to ask for url: url itself, or, when our server runs on a
  // port of its own, url on that port. Empty when what answers at the
  // built-in port is another user's and no server of ours runs.
  std::string AddressFor(const std::string& url);
  // The address to keep for url: one on our own server's port goes back to
  // the built-in port, which is the one that means something next time.
  std::string StoredFormOf(const std::string& url) const;
  // Where searches on the built-in host go now.
  int PortInUse() const { return m_nPortInUse.load(); }
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
  bool StartLocked(int port);  // m_startLock held
  // Something of this user's answers on 127.0.0.1 at port.
  static bool OursAnswerOn(int port);
  // With m_startLock held: our server answers somewhere, started if need be.
  bool EnsureLocked(const std::function<bool()>& cancelled);
  // The free port the child gets when another user holds ours.
  static int FreePort();
  static std::string WithPort(const std::string& url, int port);
  void KeeperProc(std::string path, std::vector<std::string> args, int devNull);
  void JoinKeeper();

  const BundledServerOptions m_options;
  const int m_nPort;
  // Where our trusted server answers: m_nPort, or the child's own port.
  std::atomic<int> m_nPortInUse;

  // One starter at a time; held while waiting for the child to answer.
  std::mutex m_startLock;

  // The child's state, written by the keeper thread.
  std::mutex m_childLock;
  std::condition_variable m_childCv;
  pid_t m_nPid = -1;
  bool m_bForked = false;  // the keeper's fork is done (m_nPid tells how)
  bool m_bExited = true;   // no child, or it ended (zombie or reaped)
  int m_nStarts = 0;
  int m_nChildPort = 0;  // the port the child was started on

  // Forks the child and waits for it. The parent-death signal belongs to
  // the thread that forked, so that thread lives exactly as long as the
  // child.
  std::thread m_keeper;
};
