#include "engine/http/BlockFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/job/DiskWrite.h"
#include "engine/job/OwnFile.h"
#include "engine/job/PartShadow.h"

BlockFileWriter::~BlockFileWriter() { Close(); }

BlockFileWriter::Opened BlockFileWriter::Open(const std::string& path, bool resume, long long maxLength,
                                              long long& held) {
  Close();
  held = 0;
  m_error = 0;
  m_shadow = nullptr;
  m_written = 0;
  if (m_buf.empty()) m_buf.resize(kGather);
  const char* p = path.c_str();
  // Never through a link, nor into a file someone else may write.
  int fd = ::open(p, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st{};
    if (resume && ::fstat(fd, &st) == 0 && OwnFile::Trusted(st) && st.st_size > 0 && st.st_size <= maxLength &&
        ::lseek(fd, 0, SEEK_END) == st.st_size) {
      m_fd = fd;
      held = st.st_size;
      m_written = held;
      return Opened::kContinued;
    }
    ::close(fd);
  }
  ::unlink(p);
  fd = ::open(p, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    m_error = errno;
    return Opened::kFailed;
  }
  m_fd = fd;
  return Opened::kCreated;
}

void BlockFileWriter::Append(const char* data, size_t n) {
  std::memcpy(m_buf.data() + m_pending, data, n);
  m_pending += n;
}

bool BlockFileWriter::Flush() {
  const size_t left = m_pending;
  m_pending = 0;
  if (left == 0) return true;
  if (m_fd < 0) {
    m_error = 0;
    return false;
  }
  if (WriteAll(m_fd, m_buf.data(), left)) {
    if (m_shadow && m_written >= 0) m_shadow->Wrote(m_block, m_written, m_buf.data(), left);
    if (m_written >= 0) m_written += static_cast<long long>(left);
    return true;
  }
  m_error = errno;
  // Some of it may be in the file: where the next bytes land is unknown.
  m_written = -1;
  return false;
}

bool BlockFileWriter::Close() {
  const bool ok = Flush();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  return ok;
}
