#include "engine/SongContent.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/AudioSignature.h"
#include "engine/TextRules.h"

namespace {

const char* const kMarkers[] = {"<!doctype", "<html", "<head", "<body", "<?xml"};

// How much of a file the merge reads: far more blanks than any page starts
// with, and still one read.
constexpr size_t kSniffBytes = 4096;

}  // namespace

bool IsTextContentType(const std::string& contentType) {
  std::string type = contentType;
  const size_t semi = type.find(';');
  if (semi != std::string::npos) type.resize(semi);
  type = AsciiLower(TrimWhiteSpace(type));
  if (type.empty()) return false;
  if (type.rfind("text/", 0) == 0) return true;
  if (type.rfind("application/", 0) != 0) return false;
  return type == "application/json" || type == "application/xml" || EndsWith(type, "+xml") ||
         EndsWith(type, "+json");
}

SongBytes JudgeFirstBytes(const char* data, size_t n) {
  size_t i = 0;
  // A byte-order mark, or the part of one a short read ended in.
  static const unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
  size_t b = 0;
  while (b < 3 && b < n && static_cast<unsigned char>(data[b]) == kBom[b]) ++b;
  if (b == n && b < 3) return SongBytes::kUnknown;
  if (b == 3) i = 3;
  while (i < n && IsWhiteSpace(static_cast<char>(data[i]))) ++i;
  if (i == n) return SongBytes::kUnknown;
  if (data[i] != '<') return SongBytes::kSong;
  const size_t have = n - i;
  bool couldStill = false;
  for (const char* m : kMarkers) {
    const size_t len = std::strlen(m);
    const size_t k = have < len ? have : len;
    if (strncasecmp(data + i, m, k) != 0) continue;
    if (k == len) return SongBytes::kMarkup;
    couldStill = true;
  }
  return couldStill ? SongBytes::kUnknown : SongBytes::kSong;
}

SongBytes JudgeLabelledText(const char* data, size_t n) {
  switch (CAudioSignature::Check(reinterpret_cast<const unsigned char*>(data), n)) {
    case CAudioSignature::Verdict::kAudio:
      return SongBytes::kSong;
    case CAudioSignature::Verdict::kTooShort:
      return SongBytes::kUnknown;
    case CAudioSignature::Verdict::kNone:
      break;
  }
  return SongBytes::kMarkup;
}

SongBytes JudgeBody(const char* data, size_t n, bool labelledText) {
  return labelledText ? JudgeLabelledText(data, n) : JudgeFirstBytes(data, n);
}

bool FileStartsWithMarkup(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char buf[kSniffBytes];
  size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t r = ::read(fd, buf + got, sizeof buf - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  return JudgeFirstBytes(buf, got) == SongBytes::kMarkup;
}
