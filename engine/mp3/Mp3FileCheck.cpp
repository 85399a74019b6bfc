#include "engine/mp3/Mp3FileCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <strings.h>
#include <vector>

#include "engine/mp3/Mp3Sync.h"
#include "res/Texts.h"

namespace {

constexpr size_t kReadSize = 256 * 1024;
// Holds every end tag the walk recognises but a long Lyrics3 one.
constexpr size_t kTailSize = 64 * 1024;

}  // namespace

Mp3FileReport CheckMp3File(const std::string& path) {
  Mp3FileReport report;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return report;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    ::close(fd);
    return report;
  }
  const long long size = st.st_size;
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<uint8_t> buf(kReadSize + Mp3Sync::kLookahead);
  std::vector<uint8_t> tail(static_cast<size_t>(std::min<long long>(size, kTailSize)));
  const long long tailFrom = size - static_cast<long long>(tail.size());
  CMp3Walker walker;
  size_t kept = 0;
  long long offset = 0;  // file offset of buf[kept]
  bool failed = false;
  for (;;) {
    const ssize_t r = ::read(fd, buf.data() + kept, buf.size() - kept);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      failed = true;
      break;
    }
    const size_t got = static_cast<size_t>(r);
    // The part of these bytes that is among the file's last ones.
    const long long from = std::max(offset, tailFrom);
    const long long to = std::min(offset + static_cast<long long>(got), size);  // it may have grown
    if (from < to)
      std::memcpy(tail.data() + (from - tailFrom), buf.data() + kept + (from - offset), static_cast<size_t>(to - from));
    offset += static_cast<long long>(got);
    const bool atEnd = r == 0 || offset >= size;
    const size_t have = kept + got;
    const size_t used = walker.Walk(buf.data(), have, atEnd);
    if (atEnd) break;
    kept = have - used;
    std::memmove(buf.data(), buf.data() + used, kept);
  }
  ::close(fd);
  if (failed) return report;
  report.m_bRead = true;
  report.m_eVerdict = walker.Finish(tail.data(), tail.size(), std::min(offset, size));
  report.m_nFrames = walker.Frames();
  report.m_nDeclared = walker.DeclaredFrames();
  if (walker.RegionBytes() > 0)
    report.m_fCover = static_cast<double>(walker.FrameBytes()) / static_cast<double>(walker.RegionBytes());
  return report;
}

const char* RefuseBrokenMp3(const std::string& path) {
  const Mp3FileReport report = CheckMp3File(path);
  if (!report.m_bRead || report.m_eVerdict == Mp3Verdict::kWhole) return nullptr;
  return txt::kNotWholeMp3;
}

FileCheck FinishedFileCheckFor(const std::string& path) {
  if (path.size() < 4) return nullptr;
  return strcasecmp(path.c_str() + path.size() - 4, ".mp3") == 0 ? &RefuseBrokenMp3 : nullptr;
}
