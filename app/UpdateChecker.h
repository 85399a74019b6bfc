#pragma once
// The start-up usage count and version check, and starting the updater:
// count page first, then the version file into the temp folder; a newer
// published version starts the updater, which is not waited for.
#include <sys/types.h>

#include <atomic>
#include <string>

class CBundledServer;
class UiPortRelay;

// The updater for the program at programPath. Installed: only
// "virelomp3-update" beside it. Otherwise "update" beside it, else
// "virelomp3-update" beside it, else "update" in the program directory; the
// first of these when none is there.
std::string FindUpdater(const std::string& programPath);

struct UpdateCheckOptions {
  // "http://host:port" of the count page and of the built-in version file
  // address; empty means the built-in host.
  std::string strUpdateHost;
  // The running program as the updater is told it; empty: the real one.
  std::string strProgramPath;
  // The check gives up at once when the update server is not right there.
  long nVersionConnectTimeoutMs = 5;
};

class UpdateChecker {
 public:
  // exiting makes a fetch under way give up; server (may be null) says
  // where an address on the built-in host really is; port shows the
  // updater's failure.
  UpdateChecker(UpdateCheckOptions options, const std::atomic<bool>& exiting, CBundledServer* server,
                UiPortRelay& port);
  UpdateChecker(const UpdateChecker&) = delete;
  UpdateChecker& operator=(const UpdateChecker&) = delete;

  // Runs on the calling thread; gives up when exiting.
  void Check();
  // False (after "启动升级程序出错.") when the updater cannot be started.
  bool LaunchUpdater();
  // Process id of the last updater started, or -1.
  pid_t LastUpdaterPid() const { return m_nLastUpdaterPid.load(); }

 private:
  std::string UpdateHost() const;
  std::string ProgramPath() const;
  bool FetchVersionFile(const std::string& url, const std::string& path);

  const UpdateCheckOptions m_options;
  const std::atomic<bool>& m_bExiting;
  CBundledServer* m_pServer;
  UiPortRelay& m_port;
  std::atomic<pid_t> m_nLastUpdaterPid{-1};
};
