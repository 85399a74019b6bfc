#include "engine/job/BlockMerger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <utility>

#include "engine/job/DiskWrite.h"
#include "engine/job/OwnFile.h"
#include "res/Texts.h"

namespace {

enum class CopyResult { kOk, kShortSource, kError };

// The part is flushed before it takes the song's name. Asking the disk for
// each piece as soon as it is in lets that flush overlap the copying of the
// next, instead of the whole song waiting for it at the end. Only a hint:
// a failure shows in the flush.
void StartWriteback(int fd, long long offset, long long len) {
  if (len > 0) sync_file_range(fd, offset, len, SYNC_FILE_RANGE_WRITE);
}

// Appends exactly len bytes from in's offset to out's offset `at`. The
// kernel copies without a trip through user space where the file systems
// allow.
CopyResult AppendBytes(int in, int out, long long at, long long len, const std::atomic<bool>& stopped) {
  constexpr size_t kKernelChunk = 4u << 20;  // bounds the time to notice a stop and to start writeback
  constexpr size_t kBufferSize = 1u << 20;
  bool kernel = true;
  std::vector<char> buf;
  long long left = len;
  if (const int err = InjectedWriteError(out)) {
    errno = err;
    return CopyResult::kError;
  }
  while (left > 0) {
    if (stopped) {
      errno = 0;
      return CopyResult::kError;
    }
    size_t want = static_cast<size_t>(std::min<long long>(left, kKernelChunk));
    if (kernel) {
      ssize_t n = copy_file_range(in, nullptr, out, nullptr, want, 0);
      if (n > 0) {
        StartWriteback(out, at, n);
        at += n;
        left -= n;
        continue;
      }
      if (n == 0) return CopyResult::kShortSource;
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
          errno == EPERM || errno == ETXTBSY) {
        kernel = false;
        continue;
      }
      return CopyResult::kError;
    }
    buf.resize(kBufferSize);
    ssize_t n = read(in, buf.data(), std::min(want, buf.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return CopyResult::kError;
    if (n == 0) return CopyResult::kShortSource;
    if (!WriteAll(out, buf.data(), static_cast<size_t>(n))) return CopyResult::kError;
    StartWriteback(out, at, n);
    at += n;
    left -= n;
  }
  return CopyResult::kOk;
}

// The mode a song made by open(0666) would get: block files are private,
// the song is the user's like any other file they save.
// Read once: the umask is the process's, and /proc is not worth a visit per
// merge.
mode_t SongMode() {
  static const mode_t mode = [] {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("Umask:", 0) == 0)
        return static_cast<mode_t>(0666 & ~std::stoul(line.substr(6), nullptr, 8));
    }
    return mode_t{0644};
  }();
  return mode;
}

bool IsWholeFile(const std::string& path, long long length) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && OwnFile::Trusted(st) && st.st_size == length;
}

}  // namespace

CBlockMerger::CBlockMerger(std::string target, std::vector<Piece> pieces, long long total, FILE*& targetFile,
                           FILE*& blockFile)
    : m_part(std::move(target) + ".part"),
      m_pieces(std::move(pieces)),
      m_total(total),
      m_target(targetFile),
      m_block(blockFile) {}

CBlockMerger::~CBlockMerger() { CloseFiles(); }

void CBlockMerger::Close(FILE*& targetFile, FILE*& blockFile) {
  if (blockFile) {
    std::fclose(blockFile);
    blockFile = nullptr;
  }
  if (targetFile) {
    std::fclose(targetFile);
    targetFile = nullptr;
  }
}

void CBlockMerger::CloseFiles() { Close(m_target, m_block); }

// The part, open for appending at `length`; -1 (errno kept) when it is
// not a file of that length that could be made the user's.
static int OpenForAppend(const std::string& part, long long length) {
  const int fd = open(part.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0 && fchmod(fd, SongMode()) == 0 && lseek(fd, 0, SEEK_END) == length) return fd;
  const int err = errno;
  if (fd >= 0) close(fd);
  errno = err;
  return -1;
}

int CBlockMerger::OpenWholePart() {
  const std::string copy = std::exchange(m_whole, {});
  bool pieces = true;
  for (const Piece& p : m_pieces) pieces = pieces && IsWholeFile(p.file, p.length);
  if (!pieces || rename(copy.c_str(), m_part.c_str()) != 0) {
    unlink(copy.c_str());
    return -1;
  }
  m_start = Start::kWhole;
  const int fd = OpenForAppend(m_part, m_total);
  if (fd < 0) {
    m_start = Start::kEmpty;
    Discard();
  }
  return fd;
}

int CBlockMerger::OpenPart() {
  if (!m_whole.empty()) {
    const int fd = OpenWholePart();
    if (fd >= 0) return fd;
    // The block files are untouched: join them as ever.
  }
  // Block 0 becomes the part when a rename can take it there; anything in
  // the part's way (a stale part, a link) is replaced, never followed.
  if (!m_pieces.empty() && IsWholeFile(m_pieces[0].file, m_pieces[0].length) &&
      rename(m_pieces[0].file.c_str(), m_part.c_str()) == 0) {
    m_start = Start::kFirstBlock;
    const int fd = OpenForAppend(m_part, m_pieces[0].length);
    if (fd >= 0) return fd;
    const int err = errno;
    KeepBlocks();
    errno = err;
    return -1;
  }
  unlink(m_part.c_str());
  return open(m_part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
}

CBlockMerger::Outcome CBlockMerger::Join(const std::atomic<bool>& stopped) {
  Outcome result;
  const int out = OpenPart();
  if (out < 0 || !(m_target = fdopen(out, "wb"))) {
    result.placingError = errno;
    if (out >= 0) close(out);
    if (m_start != Start::kFirstBlock) unlink(m_part.c_str());
    return result;
  }
  long long at = 0;
  if (m_start == Start::kFirstBlock) {
    at = m_pieces[0].length;
    StartWriteback(out, 0, at);
  }
  const size_t from = m_start == Start::kWhole ? m_pieces.size() : m_start == Start::kFirstBlock ? 1 : 0;
  for (size_t i = from; i < m_pieces.size() && !result.problem; ++i) {
    const int in = open(m_pieces[i].file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0 || !(m_block = fdopen(in, "rb"))) {
      if (in >= 0) close(in);
      result.problem = txt::kJobMergeReadFailed;
      break;
    }
    struct stat st;
    if (fstat(in, &st) != 0 || !OwnFile::Trusted(st)) {
      result.problem = txt::kJobMergeReadFailed;
    } else if (st.st_size != m_pieces[i].length) {
      result.problem = txt::kJobMergeBlockSize;
    } else {
      switch (AppendBytes(in, out, at, m_pieces[i].length, stopped)) {
        case CopyResult::kOk: at += m_pieces[i].length; break;
        case CopyResult::kShortSource: result.problem = txt::kJobMergeBlockSize; break;
        case CopyResult::kError:
          result.problem = txt::kJobMergeWriteFailed;
          if (IsLocalWriteError(errno)) result.localError = errno;
          break;
      }
    }
    std::fclose(m_block);
    m_block = nullptr;
  }
  if (stopped) {
    result.stopped = true;
    CloseFiles();
    return result;
  }
  if (!result.problem) {
    struct stat st;
    if (fstat(out, &st) != 0 || st.st_size != m_total) result.problem = txt::kJobMergeSize;
  }
  // On disk before it takes the song's name and the block files go: a
  // power loss must leave either the blocks or the whole song.
  if (!result.problem && fsync(out) != 0) {
    result.problem = txt::kJobMergeWriteFailed;
    if (IsLocalWriteError(errno)) result.localError = errno;
  }
  FILE* f = m_target;
  m_target = nullptr;
  if (std::fclose(f) != 0 && !result.problem) result.problem = txt::kJobMergeWriteFailed;
  return result;
}

void CBlockMerger::KeepBlocks() {
  CloseFiles();
  DropOfferedCopy();
  if (m_start != Start::kFirstBlock) {
    unlink(m_part.c_str());
    return;
  }
  m_start = Start::kEmpty;
  const Piece& first = m_pieces[0];
  // Should this fail, block 0 is fetched again: slower, never wrong.
  if (truncate(m_part.c_str(), first.length) != 0 || chmod(m_part.c_str(), 0600) != 0 ||
      rename(m_part.c_str(), first.file.c_str()) != 0)
    unlink(m_part.c_str());
}

void CBlockMerger::Discard() {
  CloseFiles();
  DropOfferedCopy();
  unlink(m_part.c_str());
}

void CBlockMerger::DropOfferedCopy() {
  if (!m_whole.empty()) unlink(std::exchange(m_whole, {}).c_str());
}
