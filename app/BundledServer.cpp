#include "app/BundledServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include "app/ListenerOwner.h"
#include "engine/BuiltinHost.h"
#include "engine/Common.h"
#include "engine/ProgramDirectory.h"
#include "engine/http/Url.h"
#include "engine/TextRules.h"
#include "res/Texts.h"

namespace {

// One connection attempt; long enough for a SYN resent once when a busy
// server's accept queue was full.
constexpr int kAnswerWaitMs = 3000;
constexpr int kPollMs = 50;
constexpr int kStopGraceMs = 5000;

bool IsExecutable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool AnswersOn(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (!ok && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    ok = ::poll(&p, 1, kAnswerWaitMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
  }
  ::close(fd);
  return ok;
}

}  // namespace

CBundledServer::CBundledServer(const BundledServerOptions& options)
    : m_options(options),
      m_nPort(options.nPort > 0 ? options.nPort : kBuiltinPort),
      m_nPortInUse(m_nPort) {}

CBundledServer::~CBundledServer() { Stop(); }

bool CBundledServer::Serves(const std::string& url) const {
  UrlParts parts;
  if (!SplitUrl(url, parts) || parts.port != m_nPort) return false;
  const std::string host = AsciiLower(parts.host);
  return host == "127.0.0.1" || host == "localhost";
}

bool CBundledServer::Answers() const { return AnswersOn(m_nPort); }

bool CBundledServer::OursAnswerOn(int port) { return AnswersOn(port) && ListenerOwner::Ours(port); }

std::string CBundledServer::WithPort(const std::string& url, int port) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t start = scheme + 3;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  const size_t colon = url.rfind(':', end);
  if (colon == std::string::npos || colon < start) return url;
  return url.substr(0, colon + 1) + std::to_string(port) + url.substr(end);
}

std::string CBundledServer::AddressFor(const std::string& url) {
  if (!Serves(url)) return url;
  const int inUse = m_nPortInUse.load();
  if (inUse != m_nPort && OursAnswerOn(inUse)) return WithPort(url, inUse);
  if (!Answers()) return url;  // nobody to be fooled by: the fetch fails as it would
  if (!ListenerOwner::Ours(m_nPort)) return std::string();
  m_nPortInUse = m_nPort;
  return url;
}

std::string CBundledServer::StoredFormOf(const std::string& url) const {
  const int inUse = m_nPortInUse.load();
  UrlParts parts;
  if (inUse == m_nPort || !SplitUrl(url, parts) || parts.port != inUse) return url;
  const std::string host = AsciiLower(parts.host);
  return host == "127.0.0.1" || host == "localhost" ? WithPort(url, m_nPort) : url;
}

int CBundledServer::FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

bool CBundledServer::EnsureFor(const std::string& url, const std::function<bool()>& cancelled) {
  if (!Serves(url)) return false;
  std::lock_guard<std::mutex> start(m_startLock);
  return EnsureLocked(cancelled);
}

bool CBundledServer::EnsureLocked(const std::function<bool()>& cancelled) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.nStartTimeoutMs);
  // A second round only when someone else took the port our child wanted.
  for (int round = 0; round < 3; ++round) {
    const int inUse = m_nPortInUse.load();
    if (OursAnswerOn(inUse)) return true;
    if (inUse != m_nPort && OursAnswerOn(m_nPort)) {
      m_nPortInUse = m_nPort;
      return true;
    }
    int port;
    {
      std::lock_guard<std::mutex> lk(m_childLock);
      port = m_bExited ? 0 : m_nChildPort;  // a child of ours still starting gets its time
    }
    if (port == 0) {
      const bool taken = Answers();
      port = taken ? FreePort() : m_nPort;
      if (port <= 0 || !StartLocked(port)) return false;
      if (taken) {
        std::fprintf(stderr, txt::kServerPortTaken, m_nPort, port);
        std::fputc('\n', stderr);
      }
    }
    bool exited = false;
    while (std::chrono::steady_clock::now() < deadline) {
      if (OursAnswerOn(port)) {
        m_nPortInUse = port;
        return true;
      }
      {
        std::unique_lock<std::mutex> lk(m_childLock);
        exited = m_bExited;
        if (!exited) m_childCv.wait_for(lk, std::chrono::milliseconds(kPollMs));
      }
      if (exited || (cancelled && cancelled())) break;
    }
    if (!exited) return false;  // the time is up, or the search gave up
    // Ended before answering: a bad root, or the port was taken first; only
    // a port someone now holds is worth another round (elsewhere).
    if (!AnswersOn(port)) return false;
  }
  return false;
}

bool CBundledServer::StartLocked(int port) {
  JoinKeeper();  // a child that ended before
  std::string server = m_options.strServerPath;
  if (server.empty()) server = GetExecutableDirectory() + "/virelomp3-server";
  std::string root = m_options.strRoot;
  if (root.empty()) root = GetDataDirectory() + "/server-root";
  std::string log = m_options.strLogPath;
  if (log.empty()) {
    const std::string tmp = GetTempDirectory();
    log = tmp.empty() ? std::string("/dev/null") : tmp + "server.log";
  }
  if (!IsExecutable(server) || !IsDirectory(root)) return false;

  int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull < 0) return false;
  std::vector<std::string> args = {server, "--root", root, "--port", std::to_string(port), "--log", log};
  {
    std::lock_guard<std::mutex> lk(m_childLock);
    m_bForked = false;
    m_bExited = false;
    m_nPid = -1;
    m_nChildPort = port;
  }
  m_keeper = std::thread(&CBundledServer::KeeperProc, this, server, std::move(args), devNull);
  std::unique_lock<std::mutex> lk(m_childLock);
  m_childCv.wait(lk, [this] { return m_bForked; });
  if (m_nPid < 0) return false;
  ++m_nStarts;
  return true;
}

void CBundledServer::KeeperProc(std::string path, std::vector<std::string> args, int devNull) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();

  // Only async-signal-safe calls between fork and exec: other threads may
  // hold locks the child would never see released.
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(0);  // we were gone before the signal was set
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    // Nothing of ours (the program directory's lock, sockets) stays open in
    // a server that may outlive a crash.
    ::close_range(3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(devNull);
  {
    std::lock_guard<std::mutex> lk(m_childLock);
    m_nPid = pid;
    m_bForked = true;
    if (pid < 0) m_bExited = true;
  }
  m_childCv.notify_all();
  if (pid < 0) return;

  // Wait without reaping first: while the zombie holds the pid, Stop can
  // signal it under m_childLock without hitting a recycled process id.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> lk(m_childLock);
    m_bExited = true;  // m_nPid stays: it tells StartLocked the fork worked
  }
  m_childCv.notify_all();
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void CBundledServer::Stop() {
  std::lock_guard<std::mutex> start(m_startLock);
  {
    std::unique_lock<std::mutex> lk(m_childLock);
    if (!m_bExited && m_nPid > 0) {
      ::kill(m_nPid, SIGTERM);
      if (!m_childCv.wait_for(lk, std::chrono::milliseconds(kStopGraceMs), [this] { return m_bExited; }))
        ::kill(m_nPid, SIGKILL);
    }
  }
  JoinKeeper();
}

void CBundledServer::JoinKeeper() {
  if (m_keeper.joinable()) m_keeper.join();
}

pid_t CBundledServer::GetChildPid() {
  std::lock_guard<std::mutex> lk(m_childLock);
  return m_bExited ? -1 : m_nPid;
}

int CBundledServer::GetStartCount() {
  std::lock_guard<std::mutex> lk(m_childLock);
  return m_nStarts;
}
