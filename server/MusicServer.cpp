#include "server/MusicServer.h"

#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "engine/Gbk.h"
#include "server/FileResponder.h"
#include "server/LenientServer.h"
#include "server/MirrorProfile.h"
#include "server/PageTexts.h"
#include "server/RequestLog.h"
#include "server/ResultPage.h"
#include "server/SafeRoot.h"
#include "server/SongLibrary.h"
#include "server/UrlCodec.h"

namespace {

const char kHtmlGbk[] = "text/html; charset=gbk";
const char kDefaultUpdateIni[] = "[MP3]\r\nVERSION=2.0\r\n";

// Texts from the program and from our GBK pages arrive as GBK; a browser's
// address bar may send UTF-8. Many short GBK texts are valid UTF-8 as well
// (小路 is D0 A1 C2 B7), so GBK is tried first.
bool TextToUtf8(const std::string& bytes, std::string& utf8) {
  if (GbkToUtf8(bytes, utf8)) return true;
  if (!IsValidUtf8(bytes)) return false;
  utf8 = bytes;
  return true;
}

void SendPage(httplib::Response& res, const std::string& utf8Page, int status = 200) {
  res.status = status;
  res.set_content(Utf8ToGbk(utf8Page), kHtmlGbk);
}

}  // namespace

// Route handlers; they share the options, the request log and the stop flag.
class CMusicServer::CRoutes {
 public:
  CRoutes(const MusicServerOptions& options, const std::atomic<bool>& stopping)
      : m_options(options), m_stopping(stopping) {}

  CRequestLog m_log;

  void Install(httplib::Server& server) {
    using httplib::Request;
    using httplib::Response;
    server.Get("/", [this](const Request&, Response& res) { SendPage(res, BuildHomePage(Library().List())); });
    server.Get("/help.htm", [](const Request&, Response& res) {
      SendPage(res, BuildMessagePage(pagetxt::kHelp, pagetxt::kHomeIntro));
    });
    server.Get(R"(/cgi-bin/music/(mp3|wma|rm)\.cgi)", [this](const Request& req, Response& res) { Search(req, res); });
    server.Get(R"(/songs/(.*))", [this](const Request& req, Response& res) {
      // A profile named "songs" paces the site's own links as well, so a
      // demo shows its progress whichever link a client takes.
      auto profiles = LoadMirrorProfiles(m_options.root + "/mirrors.ini");
      Song(req, res, req.matches[1], FindMirrorProfile(profiles, "songs"));
    });
    server.Get(R"(/mirror/([^/]+)/(.*))", [this](const Request& req, Response& res) { Mirror(req, res); });
    server.Get("/song", [this](const Request& req, Response& res) { SongInfo(req, res); });
    server.Get("/count.asp", [](const Request&, Response& res) {
      SendPage(res, BuildMessagePage(pagetxt::kSiteName, pagetxt::kCountPage));
    });
    server.Get("/update/update.ini", [this](const Request&, Response& res) { UpdateIni(res); });
    server.set_error_handler([](const Request&, Response& res) {
      if (!res.body.empty()) return;
      if (res.status == 404) SendPage(res, BuildMessagePage(pagetxt::kSiteName, pagetxt::kNotFound), 404);
      if (res.status == 403) SendPage(res, BuildMessagePage(pagetxt::kSiteName, pagetxt::kForbidden), 403);
    });
    server.set_logger([this](const Request& req, const Response& res) { m_log.Write(req, res); });
  }

 private:
  CSongLibrary Library() const { return CSongLibrary(m_options.root + "/songs"); }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_nPort); }

 public:
  int m_nPort = 0;

 private:
  void Search(const httplib::Request& req, httplib::Response& res) {
    const std::string type = req.matches[1].str();
    const std::string cgi = type + ".cgi";
    std::string ext(1, '.');
    ext += type;
    // Older clients copy every byte below 0x80 as it is, "&" included, and
    // our engine has no tail: the key is the whole rest of the query.
    size_t at = req.target.find("?_searchkey=");
    if (at == std::string::npos) at = req.target.find("&_searchkey=");
    bool given = at != std::string::npos;
    std::string raw = given ? req.target.substr(at + 12) : std::string();
    std::string bytes = PercentDecode(raw, false);
    std::string key;
    bool readable = TextToUtf8(bytes, key);
    std::vector<ResultSong> found;
    if (readable) {
      for (LibrarySong& song : Library().Search(key, ext)) {
        ResultSong r;
        struct stat st;
        std::string file = m_options.root + "/songs/" + song.relativePath;
        if (stat(file.c_str(), &st) == 0) r.size = st.st_size;
        r.song = std::move(song);
        found.push_back(std::move(r));
      }
    }
    auto profiles = LoadMirrorProfiles(m_options.root + "/mirrors.ini");
    SendPage(res, BuildResultPage(HostPort(), cgi, readable ? key : std::string(1, '?'), given, found, profiles));
  }

  void Song(const httplib::Request& req, httplib::Response& res, const std::string& decoded,
            const MirrorProfile* profile) {
    if (decoded.empty()) {
      res.status = 404;
      return;
    }
    if (!IsCleanRelativePath(decoded)) {
      res.status = 403;
      return;
    }
    // Our links are UTF-8 like the names on disk; a GBK-escaped path is
    // tried as well, since a GBK name can also be valid UTF-8.
    std::string candidates[2];
    if (IsValidUtf8(decoded)) candidates[0] = decoded;
    GbkToUtf8(decoded, candidates[1]);
    CSafeRoot root(m_options.root + "/songs");
    std::string real;
    ResolveResult result = ResolveResult::kNotFound;
    for (const std::string& relative : candidates) {
      if (relative.empty()) continue;
      result = root.Resolve(relative, real);
      if (result != ResolveResult::kNotFound) break;
    }
    if (result == ResolveResult::kForbidden) {
      res.status = 403;
      return;
    }
    if (result == ResolveResult::kNotFound) {
      res.status = 404;
      return;
    }
    ServeFile(req, res, real, profile, m_stopping);
  }

  void Mirror(const httplib::Request& req, httplib::Response& res) {
    auto profiles = LoadMirrorProfiles(m_options.root + "/mirrors.ini");
    const MirrorProfile* profile = FindMirrorProfile(profiles, req.matches[1]);
    if (!profile) {
      res.status = 404;
      return;
    }
    std::string rest = req.matches[2];
    if (!IsCleanRelativePath(rest)) {
      res.status = 403;
      return;
    }
    // The wait comes before any header, which is what a probe measures.
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(profile->latencyMs);
    while (std::chrono::steady_clock::now() < due && !m_stopping.load()) {
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          due - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
    }
    if (!profile->redirectTo.empty()) {
      std::string raw = req.target.substr(0, req.target.find('?'));
      std::string prefix = "/mirror/" + profile->name + "/";
      std::string tail = raw.compare(0, prefix.size(), prefix) == 0 ? raw.substr(prefix.size()) : PercentEncodePath(rest);
      std::string where = profile->redirectTo == "songs" ? "/songs/" : "/mirror/" + profile->redirectTo + "/";
      res.set_redirect("http://" + HostPort() + where + tail, 302);
      return;
    }
    Song(req, res, rest, profile);
  }

  void SongInfo(const httplib::Request& req, httplib::Response& res) {
    // Category pages write blanks as "%20" or "+".
    std::string bytes = PercentDecode(RawQueryValue(req.target, "word"), true);
    std::string name;
    bool readable = TextToUtf8(bytes, name);
    SendPage(res, BuildSongPage(readable ? name : std::string(1, '?')));
  }

  void UpdateIni(httplib::Response& res) {
    std::ifstream in(m_options.root + "/update/update.ini", std::ios::binary);
    std::string text = kDefaultUpdateIni;
    if (in) {
      std::ostringstream all;
      all << in.rdbuf();
      text = all.str();
    }
    res.set_content(text, "text/plain");
  }

  const MusicServerOptions& m_options;
  const std::atomic<bool>& m_stopping;
};

CMusicServer::CMusicServer(MusicServerOptions options) : m_options(std::move(options)) {}

CMusicServer::~CMusicServer() { Stop(); }

bool CMusicServer::Start(std::string& error) {
  struct stat st;
  if (m_options.root.empty() || stat(m_options.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "root folder not found: " + m_options.root;
    return false;
  }
  HeaderLimits limits;
  limits.headerMs = m_options.headerSeconds * 1000;
  limits.idleMs = m_options.keepAliveSeconds * 1000;
  // Slow mirrors keep a worker busy per response; a download uses up to
  // five connections per song, ten songs at once.
  m_pServer = std::make_unique<CLenientServer>(limits, 64);
  m_pRoutes = std::make_unique<CRoutes>(m_options, m_bStopping);
  if (!m_pRoutes->m_log.Open(m_options.logPath)) {
    error = "cannot open log file: " + m_options.logPath;
    return false;
  }
  CLenientServer& server = *m_pServer;
  // Only SO_REUSEADDR: a second server on the same port must fail to bind.
  server.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_keep_alive_timeout(m_options.keepAliveSeconds);
  server.set_keep_alive_max_count(100);
  server.set_read_timeout(m_options.readTimeoutSeconds, 0);
  server.set_write_timeout(m_options.writeTimeoutSeconds, 0);
  server.set_payload_max_length(64 * 1024);
  m_pRoutes->Install(server);
  if (m_options.port == 0) {
    m_nPort = server.bind_to_any_port("127.0.0.1");
    if (m_nPort <= 0) {
      error = "cannot bind 127.0.0.1";
      return false;
    }
  } else {
    if (!server.bind_to_port("127.0.0.1", m_options.port)) {
      error = "cannot bind 127.0.0.1:" + std::to_string(m_options.port);
      return false;
    }
    m_nPort = m_options.port;
  }
  m_pServer->WidenBacklog();
  m_pRoutes->m_nPort = m_nPort;
  m_thread = std::thread([&server] { server.listen_after_bind(); });
  // A stop() before the accept loop runs would be lost and leave it
  // running for good; wait until it does.
  for (int i = 0; i < 5000 && !server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void CMusicServer::Stop() {
  m_bStopping = true;
  if (m_pServer) m_pServer->stop();
  if (m_thread.joinable()) m_thread.join();
}
