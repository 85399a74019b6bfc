#pragma once
// A private program folder, temp folder and server root per test, the
// server running in-process on a free port, and a raw HTTP client that
// sends exactly the bytes it is given.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/MusicServer.h"
#include "tests/support/Loopback.h"

namespace harness {

namespace fs = std::filesystem;

inline std::string Gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  std::string out(utf8.size() * 2 + 4, '\0');
  char* src = const_cast<char*>(utf8.data());
  size_t srcLeft = utf8.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  out.resize(out.size() - dstLeft);
  return out;
}

inline std::string Utf8(const std::string& gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  std::string out(gbk.size() * 3 + 4, '\0');
  char* src = const_cast<char*>(gbk.data());
  size_t srcLeft = gbk.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  out.resize(out.size() - dstLeft);
  return out;
}

// The way the program writes a search key: bytes of 0x80 or more as %XX,
// blanks as %20, everything else as it is.
inline std::string ClientEscape(const std::string& bytes) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x80 || c == ' ') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

struct Reply {
  bool ok = false;  // a status line arrived
  int status = 0;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
  std::string raw;
  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
  bool Has(const std::string& name) const { return headers.count(name) > 0; }
};

// Splits the first response in raw; the body is whatever follows the header.
inline Reply ParseReply(const std::string& raw) {
  Reply r;
  r.raw = raw;
  size_t end = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return r;
  r.ok = true;
  r.status = std::atoi(raw.c_str() + 9);
  size_t pos = raw.find("\r\n") + 2;
  while (pos < end) {
    size_t eol = raw.find("\r\n", pos);
    std::string line = raw.substr(pos, eol - pos);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      r.headers[name] = line.substr(v);
    }
    pos = eol + 2;
  }
  r.body = raw.substr(end + 4);
  return r;
}

// Sends request as it stands and reads until the server closes (bounded by
// a receive time-out), so the request should say "Connection: close".
inline std::string SendRaw(int port, const std::string& request, int timeoutMs = 5000) {
  int fd = vtest::ConnectLoopback(port, timeoutMs);
  if (fd < 0) return std::string();
  std::string raw;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[65536];
    for (int reads = 0; reads < 100000; ++reads) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      raw.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return raw;
}

inline Reply Request(int port, const std::string& method, const std::string& target,
                     const std::string& extraHeaders = "") {
  return ParseReply(SendRaw(port, method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders +
                                      "Connection: close\r\n\r\n"));
}

inline Reply Get(int port, const std::string& target, const std::string& extraHeaders = "") {
  return Request(port, "GET", target, extraHeaders);
}

// Links the program would take from a result page: double-quoted HREF
// values (any case, blanks around "=") whose text from the last "." on
// equals the extension, ignoring case; each once, in page order.
inline std::vector<std::string> DownloadLinks(const std::string& page, const std::string& extension) {
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  std::string u = upper(page);
  std::string wanted = upper(extension);
  std::vector<std::string> links;
  size_t pos = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    size_t a = u.find("HREF", pos);
    if (a == std::string::npos) break;
    pos = a + 4;
    size_t p = pos;
    while (p < u.size() && std::isspace(static_cast<unsigned char>(u[p]))) ++p;
    if (p >= u.size() || u[p] != '=') continue;
    ++p;
    while (p < u.size() && std::isspace(static_cast<unsigned char>(u[p]))) ++p;
    if (p >= u.size() || u[p] != '"') continue;
    ++p;
    size_t q = u.find('"', p);
    if (q == std::string::npos) continue;
    std::string lu = u.substr(p, q - p);
    std::string l = page.substr(p, q - p);
    while (!lu.empty() && std::isspace(static_cast<unsigned char>(lu.back()))) {
      lu.pop_back();
      l.pop_back();
    }
    size_t d = lu.rfind('.');
    if (d == std::string::npos || lu.substr(d) != wanted) continue;
    bool seen = false;
    for (const std::string& s : links) seen = seen || s == l;
    if (!seen) links.push_back(l);
  }
  return links;
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test points TMPDIR into its own folder; start from the one the
    // test program was given.
    static const std::string original = [] {
      const char* tmp = std::getenv("TMPDIR");
      return std::string((tmp && *tmp) ? tmp : "/tmp");
    }();
    std::string base = original;
    if (base.back() != '/') base += '/';
    std::string templ = base + "virelomp3-server-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    m_base = templ;
    fs::create_directories(m_base + "/home");
    fs::create_directories(m_base + "/tmp");
    setenv("VIRELOMP3_HOME", (m_base + "/home").c_str(), 1);
    setenv("TMPDIR", (m_base + "/tmp/").c_str(), 1);
    m_root = m_base + "/root";
    fs::create_directories(m_root + "/songs");
  }

  void TearDown() override {
    m_server.reset();
    std::error_code ec;
    if (!m_base.empty()) fs::remove_all(m_base, ec);
  }

  // Writes a song file of size bytes with a pattern that reveals offsets.
  std::string AddSong(const std::string& relative, size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    WriteFile(m_root + "/songs/" + relative, data);
    return data;
  }

  static void WriteFile(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  void StartServer() {
    MusicServerOptions options;
    options.root = m_root;
    options.port = 0;
    options.logPath = m_base + "/server.log";
    options.keepAliveSeconds = 1;
    options.headerSeconds = m_headerSeconds;
    m_server = std::make_unique<CMusicServer>(options);
    std::string error;
    ASSERT_TRUE(m_server->Start(error)) << error;
    m_port = m_server->Port();
    ASSERT_GT(m_port, 0);
  }

  std::string Log() const { return ReadFile(m_base + "/server.log"); }

  Reply Search(const std::string& cgi, const std::string& keyUtf8) {
    return Get(m_port, "/cgi-bin/music/" + cgi + "?_searchkey=" + ClientEscape(Gbk(keyUtf8)));
  }

  std::string m_base;
  std::string m_root;
  std::unique_ptr<CMusicServer> m_server;
  int m_port = 0;
  int m_headerSeconds = 10;
};

}  // namespace harness
