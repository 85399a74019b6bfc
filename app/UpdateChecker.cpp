#include "app/UpdateChecker.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "app/BundledServer.h"
#include "app/IniFile.h"
#include "app/UiPortRelay.h"
#include "app/VersionOrder.h"
#include "engine/BuiltinHost.h"
#include "engine/Common.h"
#include "engine/ProgramDirectory.h"
#include "engine/http/Url.h"
#include "res/Texts.h"
#include "task/CurlApi.h"
#include "task/CurlNetwork.h"
#include "task/RobotInternet.h"

extern char** environ;

namespace {

// A version file is a few lines; anything much larger is not one, and a
// slow server must not hold the scheduler's first pass for long.
constexpr long kVersionFetchTimeoutSec = 30;
constexpr curl_off_t kVersionFileMaxBytes = 1 << 20;

struct VersionFetch {
  std::string path;
  FILE* file = nullptr;
  curl_off_t bytes = 0;
  const std::atomic<bool>* exiting = nullptr;
};

// A fixed name in the temp folder: never written through a link.
FILE* CreateVersionFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  FILE* f = ::fdopen(fd, "wb");
  if (!f) ::close(fd);
  return f;
}

size_t OnVersionBody(char* data, size_t size, size_t count, void* user) {
  auto* f = static_cast<VersionFetch*>(user);
  size_t n = size * count;
  if (!f->file) f->file = CreateVersionFile(f->path);
  if (!f->file) return 0;
  f->bytes += static_cast<curl_off_t>(n);
  if (f->bytes > kVersionFileMaxBytes) return 0;
  return std::fwrite(data, 1, n, f->file) == n ? n : 0;
}

int OnVersionProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* f = static_cast<VersionFetch*>(user);
  return f->exiting->load() ? 1 : 0;
}

// The update notice names where the user is sent: on the built-in host it
// is only read from a server of ours, wherever that runs. Empty: not read.
std::string Routed(CBundledServer* server, const std::string& url) {
  return server ? server->AddressFor(url) : url;
}

std::string RunningProgramPath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

std::string FindUpdater(const std::string& programPath) {
  const std::string beside = GetPathFolder(programPath);
  // Installed into a shared bin folder, a generic "update" there belongs to
  // some other package or to whoever put it there: only our own name runs.
  if (!FindInstalledDataDirectory(beside).empty()) return beside + "/virelomp3-update";
  // "update" in a program's own folder. A program directory given by
  // VIRELOMP3_HOME stands in for the executable's folder last.
  for (const std::string& path : {beside + "/update", beside + "/virelomp3-update", GetAppDirectory() + "/update"}) {
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return beside + "/update";
}

UpdateChecker::UpdateChecker(UpdateCheckOptions options, const std::atomic<bool>& exiting, CBundledServer* server,
                             UiPortRelay& port)
    : m_options(std::move(options)), m_bExiting(exiting), m_pServer(server), m_port(port) {}

std::string UpdateChecker::UpdateHost() const {
  return m_options.strUpdateHost.empty() ? std::string("http://") + kBuiltinHost : m_options.strUpdateHost;
}

std::string UpdateChecker::ProgramPath() const {
  return m_options.strProgramPath.empty() ? RunningProgramPath() : m_options.strProgramPath;
}

bool UpdateChecker::FetchVersionFile(const std::string& url, const std::string& path) {
  UrlParts parts;
  if (!SplitWebUrl(url, parts)) return false;
  const CCurlApi* curl = CCurlApi::Get();
  if (!curl) return false;
  CURL* h = curl->easy_init();
  if (!h) return false;

  VersionFetch f;
  f.path = path;
  f.exiting = &m_bExiting;
  const std::string agent = T(txt::kAppName);
  curl_slist* headers = nullptr;
  // Always from the server, never from a cache on the way.
  headers = curl->slist_append(headers, "Pragma: no-cache");
  headers = curl->slist_append(headers, "Cache-Control: no-cache");
  // The same trust and proxy as every other connection; a proxy setting
  // that cannot be used stops the check rather than going round it.
  std::string why;
  if (!CCurlNetwork::Apply(*curl, h, url, why)) {
    curl->easy_cleanup(h);
    curl->slist_free_all(headers);
    return false;
  }
  curl->easy_setopt(h, CURLOPT_URL, url.c_str());
  curl->easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
  curl->easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl->easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl->easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // 5 milliseconds unless a test asks otherwise (see AppOptions).
  curl->easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, m_options.nVersionConnectTimeoutMs);
  curl->easy_setopt(h, CURLOPT_TIMEOUT, kVersionFetchTimeoutSec);
  curl->easy_setopt(h, CURLOPT_BUFFERSIZE, 2048L);
  curl->easy_setopt(h, CURLOPT_WRITEFUNCTION, OnVersionBody);
  curl->easy_setopt(h, CURLOPT_WRITEDATA, &f);
  curl->easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl->easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnVersionProgress);
  curl->easy_setopt(h, CURLOPT_XFERINFODATA, &f);
  CURLcode rc = curl->easy_perform(h);
  curl->easy_cleanup(h);
  curl->slist_free_all(headers);

  bool ok = rc == CURLE_OK;
  if (f.file) {
    if (std::fclose(f.file) != 0) ok = false;
  } else if (ok) {
    // An empty body still replaces the last check's file.
    FILE* empty = CreateVersionFile(path);
    if (!empty) return false;
    std::fclose(empty);
  }
  return ok;
}

void UpdateChecker::Check() {
  if (m_bExiting) return;
  const std::string host = Routed(m_pServer, UpdateHost());
  if (host.empty()) return;
  {
    CRobotInternet robot;
    robot.m_fnCancel = [this] { return m_bExiting.load(); };
    std::string page, error;
    int code = 0;
    // No version check without a working connection to the update server.
    if (!robot.GetPage(host + "/count.asp", page, code, error)) return;
  }
  if (m_bExiting) return;

  const std::string ini = GetIniFilePath();
  const std::string installed = IniRead(ini, "Update", "Version", "0", 10);
  std::string url = IniRead(ini, "Update", "URL", "", 260);
  if (url.empty()) url = host + "/update/update.ini";
  if ((url = Routed(m_pServer, url)).empty()) return;

  const std::string temp = GetTempDirectory();
  if (temp.empty()) return;  // never a relative name in whatever folder we run in
  const std::string versionFile = temp + "update.ini";
  if (!FetchVersionFile(url, versionFile) || m_bExiting) return;
  const std::string published = IniRead(versionFile, "MP3", "VERSION", "0", 10);
  if (VersionOrder::IsNewer(published, installed)) LaunchUpdater();
}

bool UpdateChecker::LaunchUpdater() {
  const std::string program = ProgramPath();
  std::string name = GetPathFileName(program);
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);

  const std::string ini = GetIniFilePath();
  const std::string version = IniRead(ini, "Update", "Version", "0", 10);
  std::string url = IniRead(ini, "Update", "URL", "", 260);
  if (url.empty()) url = UpdateHost() + "/update/update.ini";
  url = Routed(m_pServer, url);
  if (url.empty()) return false;

  // An argument vector, no shell: a program directory with blanks is fine.
  const std::string updater = FindUpdater(program);
  std::vector<std::string> args = {updater, name, version, url, program};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (::access(updater.c_str(), X_OK) != 0 ||
      ::posix_spawn(&pid, updater.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    m_port.ShowMessage(T(txt::kUpdaterFailed), std::string());
    return false;
  }
  m_nLastUpdaterPid = pid;
  // Not waited for, but reaped when it ends: no zombie for the rest of our
  // life. The waiter outlives nothing it touches.
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}
