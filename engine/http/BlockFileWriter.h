#pragma once
// A block's bytes into its block file: gathered 64 KiB at a time (a write
// per receive costs as much as the receive itself) and written with
// DiskWrite, so a full disk says why. The block file is never opened
// through a link, and only a file of ours is continued.
#include <cstddef>
#include <string>
#include <vector>

class CPartShadow;

class BlockFileWriter {
 public:
  static constexpr size_t kGather = 64 * 1024;

  BlockFileWriter() = default;
  ~BlockFileWriter();
  BlockFileWriter(const BlockFileWriter&) = delete;
  BlockFileWriter& operator=(const BlockFileWriter&) = delete;

  enum class Opened { kContinued, kCreated, kFailed };
  // Continues path when `resume` and it is a file of ours holding 1 to
  // maxLength bytes (held gets their count); else makes it afresh, empty,
  // mode 0600 (held 0). Whatever was open before is closed first.
  Opened Open(const std::string& path, bool resume, long long maxLength, long long& held);
  bool IsOpen() const { return m_fd >= 0; }

  // Bytes gathered and not yet written.
  size_t Pending() const { return m_pending; }
  const char* PendingData() const { return m_buf.data(); }
  size_t Capacity() const { return kGather; }
  // Gathers n bytes; the caller keeps Pending() + n within Capacity().
  void Append(const char* data, size_t n);
  // Forgets the gathered bytes: they never reach the file.
  void DropPending() { m_pending = 0; }
  // Writes the gathered bytes. False when they could not all be written
  // (Error() says why; 0 when no file was open).
  bool Flush();
  // What is written from now on is also copied into shadow as block's
  // bytes; lasts until the next Open.
  void CopyInto(CPartShadow* shadow, int block) {
    m_shadow = shadow;
    m_block = block;
  }
  // Flushes and closes; false as Flush.
  bool Close();
  int Error() const { return m_error; }

 private:
  int m_fd = -1;
  std::vector<char> m_buf;
  size_t m_pending = 0;
  int m_error = 0;
  CPartShadow* m_shadow = nullptr;
  int m_block = 0;
  long long m_written = 0;  // the file's length; -1 once a write failed midway
};
