#include "engine/job/Sidecar.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "engine/Common.h"
#include "engine/job/DiskWrite.h"
#include "engine/job/FormerTempFiles.h"
#include "engine/job/OwnFile.h"

namespace {

std::string OneLine(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != '\r' && c != '\n') out += c;
  return out;
}

std::optional<std::string> ReadSmallFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  // Facts someone else could have written would let their bytes be continued.
  if (!OwnFile::TrustedFd(fd)) {
    close(fd);
    return std::nullopt;
  }
  std::string data;
  char buf[1024];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (data.size() > (1u << 20)) {  // not ours: even a 2 GB file split to 256 KB pieces is shorter
      ok = false;
      break;
    }
  }
  close(fd);
  if (!ok) return std::nullopt;
  return data;
}

template <typename N>
bool ParseInt(const std::string& s, N& out) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

// "<block> <first> <last>", single spaces, plain decimal numbers.
bool ParseRange(const std::string& s, PlanRange& r) {
  const size_t a = s.find(' ');
  const size_t b = a == std::string::npos ? a : s.find(' ', a + 1);
  if (b == std::string::npos) return false;
  return ParseInt(s.substr(0, a), r.m_nBlock) && ParseInt(s.substr(a + 1, b - a - 1), r.m_nFirst) &&
         ParseInt(s.substr(b + 1), r.m_nLast);
}

}  // namespace

std::string CSidecar::PathFor(const std::string& target) {
  return GetTempDirectory() + GetPathFileName(target) + ".job.hpt";
}

std::string CSidecar::OldPathFor(const std::string& target) {
  return GetTempDirectory() + GetPathFileName(target) + ".hpt";
}

std::string CSidecar::ScratchPathFor(const std::string& target) {
  return GetTempDirectory() + GetPathFileName(target) + ".job.tmp.hpt";
}

std::string CSidecar::OldScratchPathFor(const std::string& target) {
  return GetTempDirectory() + GetPathFileName(target) + ".hpt.tmp";
}

bool CSidecar::IsRecordFile(const std::string& path) {
  // Every record starts so; a block file rarely does, and then it is read
  // whole only up to the size a record can have.
  static constexpr char kStart[] = "length=";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  char head[sizeof kStart - 1];
  ssize_t n;
  do n = read(fd, head, sizeof head);
  while (n < 0 && errno == EINTR);
  close(fd);
  if (n != static_cast<ssize_t>(sizeof head) || std::string(head, sizeof head) != kStart) return false;
  return Read(path).has_value();
}

std::optional<CSidecar> CSidecar::Load(const std::string& target) {
  FormerTempFiles::MoveFor(target);
  const std::string path = PathFor(target);
  if (auto stored = Read(path)) return stored;
  if (access(path.c_str(), F_OK) == 0 || errno != ENOENT) return std::nullopt;  // ours, but damaged
  const std::string old = OldPathFor(target);
  if (!IsRecordFile(old)) return std::nullopt;
  auto stored = Read(old);
  // Moved only once the new one is written: a failure leaves the old one,
  // which the next start reads again.
  if (stored && stored->WriteFor(target) == 0) unlink(old.c_str());
  return stored;
}

void CSidecar::RemoveFor(const std::string& target) {
  // The record first: without it the block files are never continued.
  unlink(PathFor(target).c_str());
  const std::string old = OldPathFor(target);
  if (IsRecordFile(old)) unlink(old.c_str());
  unlink(ScratchPathFor(target).c_str());
  unlink(OldScratchPathFor(target).c_str());
}

std::string CSidecar::Text() const {
  std::string text = "length=" + std::to_string(m_nLength) + "\nblocks=" + std::to_string(m_nBlocks) +
                     "\nvalidator=" + OneLine(m_strValidator) + "\nurl=" + OneLine(m_strURL) + "\n";
  for (const auto& r : m_ranges)
    text += "range=" + std::to_string(r.m_nBlock) + " " + std::to_string(r.m_nFirst) + " " +
            std::to_string(r.m_nLast) + "\n";
  return text;
}

std::optional<CSidecar> CSidecar::Parse(const std::string& text) {
  CSidecar s;
  bool length = false, blocks = false, validator = false, url = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) return std::nullopt;  // cut short while written
    const std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    auto once = [](bool& seen) {
      if (seen) return false;
      seen = true;
      return true;
    };
    if (key == "length") {
      if (!once(length) || !ParseInt(value, s.m_nLength)) return std::nullopt;
    } else if (key == "blocks") {
      if (!once(blocks) || !ParseInt(value, s.m_nBlocks)) return std::nullopt;
    } else if (key == "validator") {
      if (!once(validator)) return std::nullopt;
      s.m_strValidator = value;
    } else if (key == "url") {
      if (!once(url)) return std::nullopt;
      s.m_strURL = value;
    } else if (key == "range") {
      PlanRange r;
      if (!ParseRange(value, r)) return std::nullopt;
      s.m_ranges.push_back(r);
    } else {
      return std::nullopt;
    }
  }
  if (!length || !blocks || !validator) return std::nullopt;
  return s;
}

std::optional<CSidecar> CSidecar::Read(const std::string& path) {
  auto text = ReadSmallFile(path);
  if (!text) return std::nullopt;
  return Parse(*text);
}

int CSidecar::WriteFor(const std::string& target) const {
  // The job's lock on the target keeps every other writer of this name away,
  // so one fixed scratch name is enough.
  const std::string tmp = ScratchPathFor(target);
  const std::string data = Text();
  // A fresh file, never one found under the name: its owner could change
  // the facts once it is the record.
  if (unlink(tmp.c_str()) != 0 && errno != ENOENT) return errno;
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno ? errno : EIO;
  int err = WriteAll(fd, data.data(), data.size()) ? 0 : errno;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && std::rename(tmp.c_str(), PathFor(target).c_str()) != 0) err = errno;
  if (err) unlink(tmp.c_str());
  return err;
}

bool CSidecar::Continues(const CSidecar& stored) const {
  if (stored.m_nLength != m_nLength || stored.m_nBlocks != m_nBlocks ||
      stored.m_strValidator != OneLine(m_strValidator))
    return false;
  // Bytes of one host are never continued with another's.
  return stored.m_strURL.empty() || stored.m_strURL == OneLine(m_strURL);
}

std::string AddressWithoutCredentials(const std::string& url) {
  std::string s = OneLine(url);
  const size_t scheme = s.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  if (scheme == std::string::npos && s.compare(0, 2, "//") != 0) return s;
  const size_t from = scheme == std::string::npos ? 2 : start;
  size_t end = s.find_first_of("/?#", from);
  if (end == std::string::npos) end = s.size();
  const size_t at = s.rfind('@', end == 0 ? 0 : end - 1);
  if (at != std::string::npos && at >= from && at < end) s.erase(from, at + 1 - from);
  return s;
}
