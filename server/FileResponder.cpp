#include "server/FileResponder.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "server/RequestLog.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* ContentType(const std::string& path) {
  size_t dot = path.rfind('.');
  std::string ext = dot == std::string::npos ? std::string() : path.substr(dot);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (ext == ".mp3") return "audio/mpeg";
  if (ext == ".wma") return "audio/x-ms-wma";
  if (ext == ".rm") return "application/vnd.rn-realmedia";
  return "application/octet-stream";
}

std::string HttpDate(time_t t) {
  struct tm tmT;
  gmtime_r(&t, &tmT);
  char buf[64];
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tmT);
  return buf;
}

bool ParseNumber(const std::string& s, long long& value) {
  if (s.empty() || s.size() > 18) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  value = std::strtoll(s.c_str(), nullptr, 10);
  return true;
}

struct FileStream {
  int fd = -1;
  long long first = 0;
  long rate = 0;
  long dropAfter = 0;
  long long sent = 0;
  Clock::time_point start = Clock::now();
  ~FileStream() {
    if (fd >= 0) close(fd);
  }
};

// Sleeps until due, in short slices so a shutdown is not held up.
bool WaitUntil(Clock::time_point due, const std::atomic<bool>& stopping) {
  while (Clock::now() < due) {
    if (stopping.load()) return false;
    auto slice = std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(50));
    std::this_thread::sleep_for(slice);
  }
  return !stopping.load();
}

}  // namespace

int ParseSingleRange(const std::string& header, long long size, ByteRange& range) {
  const std::string prefix = "bytes=";
  if (header.compare(0, prefix.size(), prefix) != 0) return 0;
  std::string ranges = header.substr(prefix.size());
  while (!ranges.empty() && ranges.front() == ' ') ranges.erase(0, 1);
  while (!ranges.empty() && ranges.back() == ' ') ranges.pop_back();
  if (ranges.find(',') != std::string::npos) return 0;  // several ranges: the whole file is a valid answer
  size_t dash = ranges.find('-');
  if (dash == std::string::npos) return 0;
  std::string a = ranges.substr(0, dash);
  std::string b = ranges.substr(dash + 1);
  long long first = 0;
  long long last = 0;
  if (a.empty()) {
    long long suffix = 0;
    if (!ParseNumber(b, suffix)) return 0;
    if (suffix == 0 || size == 0) return -1;
    first = suffix >= size ? 0 : size - suffix;
    last = size - 1;
  } else {
    if (!ParseNumber(a, first)) return 0;
    if (b.empty()) {
      last = size - 1;
    } else {
      if (!ParseNumber(b, last)) return 0;
      if (last < first) return 0;
    }
    if (first >= size) return -1;
    if (last >= size) last = size - 1;
  }
  range.first = first;
  range.last = last;
  return 1;
}

void ServeFile(const httplib::Request& req, httplib::Response& res, const std::string& path,
               const MirrorProfile* profile, const std::atomic<bool>& stopping) {
  auto stream = std::make_shared<FileStream>();
  stream->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (stream->fd < 0 || fstat(stream->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    res.status = 404;
    return;
  }
  const long long size = st.st_size;
  char etag[96];
  std::snprintf(etag, sizeof etag, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(st.st_ino),
                static_cast<unsigned long long>(size), static_cast<unsigned long long>(st.st_mtime));
  res.set_header("Accept-Ranges", "bytes");
  res.set_header("ETag", etag);
  res.set_header("Last-Modified", HttpDate(st.st_mtime));

  // The library slices the body again by its own parse of the ranges and
  // trusts the range end; we answer ranges ourselves, so it must not.
  const_cast<httplib::Request&>(req).ranges.clear();

  if (req.has_header("If-None-Match") && req.get_header_value("If-None-Match") == etag) {
    res.status = 304;
    return;
  }

  ByteRange range{0, size - 1};
  res.status = 200;
  bool rangeApplies = req.has_header("Range") &&
                      (!req.has_header("If-Range") || req.get_header_value("If-Range") == etag);
  if (rangeApplies) {
    int parsed = ParseSingleRange(req.get_header_value("Range"), size, range);
    if (parsed < 0) {
      res.status = 416;
      res.set_header("Content-Range", "bytes */" + std::to_string(size));
      return;
    }
    if (parsed > 0) {
      res.status = 206;
      res.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                          std::to_string(range.last) + "/" + std::to_string(size));
    } else {
      range = ByteRange{0, size - 1};
    }
  }
  const long long length = size == 0 ? 0 : range.last - range.first + 1;
  if (length == 0) {
    res.set_content("", ContentType(path));
    return;
  }
  stream->first = range.first;
  stream->rate = profile ? profile->rateBytesPerSecond : 0;
  stream->dropAfter = profile ? profile->dropAfterBytes : 0;
  CRequestLog::BeginStream();
  res.set_content_provider(
      static_cast<size_t>(length), ContentType(path),
      [stream, &stopping](size_t offset, size_t len, httplib::DataSink& sink) {
        if (stopping.load()) return false;
        size_t chunk = std::min<size_t>(len, 16384);
        if (stream->rate > 0) chunk = std::min<size_t>(chunk, std::max<long>(1024, stream->rate / 20));
        if (stream->dropAfter > 0) {
          if (stream->sent >= stream->dropAfter) return false;  // the mirror gives up part-way
          chunk = std::min<size_t>(chunk, static_cast<size_t>(stream->dropAfter - stream->sent));
        }
        char buf[16384];
        ssize_t n = pread(stream->fd, buf, chunk, static_cast<off_t>(stream->first + offset));
        if (n <= 0) return false;
        if (stream->rate > 0) {
          auto due = stream->start + std::chrono::microseconds((stream->sent + n) * 1000000LL / stream->rate);
          if (!WaitUntil(due, stopping)) return false;
        }
        if (!sink.write(buf, static_cast<size_t>(n))) return false;
        stream->sent += n;
        CRequestLog::CountStreamed(static_cast<size_t>(n));
        return true;
      });
}
