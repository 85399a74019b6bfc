#include "engine/job/PartShadow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "engine/Common.h"
#include "engine/job/DiskWrite.h"

namespace {

bool SameFileSystem(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

// Room for the copy and every block file beside it, and some to spare: the
// copy must never be what fills a disk the blocks need.
bool RoomForTwo(const std::string& folder, long long length) {
  struct statvfs vfs{};
  if (::statvfs(folder.c_str(), &vfs) != 0) return false;
  constexpr long long kSpare = 64ll << 20;
  return static_cast<long double>(vfs.f_bavail) * vfs.f_frsize >= 2.0L * length + kSpare;
}

}  // namespace

std::string CPartShadow::PathFor(const std::string& target) {
  return GetTempDirectory() + GetPathFileName(target) + ".job.part.hpt";
}

CPartShadow::~CPartShadow() { Discard(); }

void CPartShadow::Close() {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_stop = true;
  }
  m_grown.notify_all();
  // Never close the file under a flush in progress: its number could be
  // another file's by then.
  if (m_flusher.joinable()) m_flusher.join();
  std::lock_guard<std::mutex> g(m_lock);
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_blocks.clear();
}

void CPartShadow::Flushing() {
  std::unique_lock<std::mutex> lk(m_lock);
  while (true) {
    m_grown.wait(lk, [this] { return m_stop || m_unflushed >= kFlushStep; });
    if (m_stop) return;
    m_unflushed = 0;
    const int fd = m_fd;
    lk.unlock();
    ::fdatasync(fd);  // a failure shows in the flush at the end
    lk.lock();
  }
}

void CPartShadow::Begin(const std::string& target, long long length) {
  Close();
  std::lock_guard<std::mutex> g(m_lock);
  m_path = PathFor(target);
  m_songFolder = GetPathFolder(target);
  m_taken = false;
  m_length = length;
  ::unlink(m_path.c_str());
  const std::string temp = GetPathFolder(m_path);
  // A song folder that takes no writes (as a test makes it) gets the song
  // by the merge, which says why it cannot.
  if (length <= 0 || !SameFileSystem(temp, m_songFolder) || !RoomForTwo(temp, length) ||
      InjectedWriteErrorAt(target))
    return;
  m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (m_fd < 0) return;
  m_stop = false;
  m_unflushed = 0;
  m_flusher = std::thread([this] { Flushing(); });
}

CPartShadow::Block* CPartShadow::Find(int block) {
  for (Block& b : m_blocks)
    if (b.number == block) return &b;
  return nullptr;
}

void CPartShadow::Opened(int block, long long start, long long held) {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_fd < 0) return;
  Block* b = Find(block);
  if (!b) {
    m_blocks.push_back(Block{block, start, 0, false});
    b = &m_blocks.back();
  }
  if (held == 0) {
    // Started afresh: the copy is written over from the block's start.
    *b = Block{block, start, 0, false};
    return;
  }
  // Bytes an earlier run wrote are not in this copy.
  if (b->start != start || b->upto != held) b->broken = true;
}

void CPartShadow::Wrote(int block, long long offset, const char* data, size_t n) {
  // Under the lock: the file may be closed by a stop meanwhile, and a write
  // to a closed descriptor could land in somebody else's file. The system
  // orders writes to one file anyway.
  std::lock_guard<std::mutex> g(m_lock);
  if (m_fd < 0 || n == 0) return;
  Block* b = Find(block);
  if (!b || b->broken) return;
  const long long at = b->start + offset;
  if (offset != b->upto || at + static_cast<long long>(n) > m_length || !WriteAllAt(m_fd, data, n, at)) {
    b->broken = true;
    return;
  }
  b->upto += static_cast<long long>(n);
  m_unflushed += static_cast<long long>(n);
  if (m_unflushed >= kFlushStep) m_grown.notify_one();
}

std::string CPartShadow::Take(const std::vector<Range>& ranges) {
  std::unique_lock<std::mutex> lk(m_lock);
  if (m_fd < 0) return {};
  bool whole = !ranges.empty();
  long long next = 0;
  for (const Range& r : ranges) {
    const Block* b = Find(r.block);
    whole = whole && b && !b->broken && r.first == next && b->start == r.first && b->upto == r.length;
    next = r.first + r.length;
  }
  whole = whole && next == m_length;
  lk.unlock();
  Close();
  if (!whole) {
    ::unlink(m_path.c_str());
    return {};
  }
  m_taken = true;
  return m_path;
}

void CPartShadow::Discard() {
  bool had;
  {
    std::lock_guard<std::mutex> g(m_lock);
    had = m_fd >= 0;
  }
  Close();
  if (had && !m_taken) ::unlink(m_path.c_str());
}
