#include "server/RequestLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <httplib.h>

#include <ctime>

namespace {

thread_local bool t_streamed = false;
thread_local size_t t_streamedBytes = 0;

// Keeps the log one line per request whatever the client sent.
std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out.empty() ? "-" : out;
}

}  // namespace

CRequestLog::CRequestLog() : m_file(stderr) {}

CRequestLog::~CRequestLog() {
  if (m_bOwnsFile && m_file) std::fclose(m_file);
}

bool CRequestLog::Open(const std::string& path) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (path.empty()) return true;
  // The log usually lies in the temp folder: never written through a link.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  FILE* f = ::fdopen(fd, "a");
  if (!f) {
    ::close(fd);
    return false;
  }
  std::setvbuf(f, nullptr, _IOLBF, 0);
  if (m_bOwnsFile && m_file) std::fclose(m_file);
  m_file = f;
  m_bOwnsFile = true;
  return true;
}

void CRequestLog::BeginStream() {
  t_streamed = true;
  t_streamedBytes = 0;
}

void CRequestLog::CountStreamed(size_t bytes) { t_streamedBytes += bytes; }

void CRequestLog::Write(const httplib::Request& req, const httplib::Response& res) {
  size_t bytes = 0;
  if (t_streamed) {
    bytes = t_streamedBytes;
  } else if (req.method != "HEAD") {
    bytes = res.body.size();
  }
  t_streamed = false;
  t_streamedBytes = 0;
  std::string range = req.has_header("Range") ? req.get_header_value("Range") : std::string();
  // Milliseconds, so a probe and the downloads that follow it can be told apart.
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tmNow;
  gmtime_r(&ts.tv_sec, &tmNow);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &tmNow);
  std::lock_guard<std::mutex> guard(m_lock);
  std::fprintf(m_file, "%s.%03ldZ %s %s range=%s %d %zu\n", when, ts.tv_nsec / 1000000, Printable(req.method).c_str(),
               Printable(req.target).c_str(), Printable(range).c_str(), res.status, bytes);
  std::fflush(m_file);
}
