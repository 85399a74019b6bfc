#include "engine/record/RecordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/Common.h"
#include "engine/Gbk.h"
#include "res/texts/EngineTexts.h"

namespace {

constexpr long kRecordSize = static_cast<long>(sizeof(TaskEntry));
constexpr size_t kChunk = 1024;

void ReportToStderr(const std::string& text) {
  std::fprintf(stderr, "%s\n", GbkToUtf8(text).c_str());
}

std::atomic<RecordFileReportFn> g_reporter{ReportToStderr};

long FileSize(FILE* f) {
  if (std::fflush(f) != 0) return -1;
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return -1;
  return static_cast<long>(st.st_size);
}

// Reads exactly n bytes at offset; false on a short read.
bool ReadAt(FILE* f, long offset, char* buf, size_t n) {
  return std::fseek(f, offset, SEEK_SET) == 0 && std::fread(buf, 1, n, f) == n;
}

bool WriteAt(FILE* f, long offset, const char* buf, size_t n) {
  return std::fseek(f, offset, SEEK_SET) == 0 && std::fwrite(buf, 1, n, f) == n;
}

}  // namespace

void SetRecordFileReporter(RecordFileReportFn fn) { g_reporter.store(fn ? fn : ReportToStderr); }

CRecordFile::CRecordFile() { std::memset(m_record, 0, sizeof m_record); }

CRecordFile::~CRecordFile() { Close(); }

int CRecordFile::Open(const std::string& path) {
  Close();
  m_strPath = path;
  // The deletion scratch file lives beside the record file: the program
  // directory has one owner, while the temporary directory is shared by
  // every copy the user runs, and two compactions through one scratch file
  // lose or double records.
  const size_t slash = path.rfind('/');
  m_strTempDir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  // Open or create in one step, never truncating: a second "create" after a
  // failed open could empty a task list that merely failed to open once.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
  }
  if (fd >= 0) m_file = fdopen(fd, "r+b");
  if (m_file) {
    m_bOpen = 1;
    long size = FileSize(m_file);
    m_nCount = size > 0 ? static_cast<int>(size / kRecordSize) : 0;
    m_nCurrent = 0;
    if (m_nCount > 0) ReadRecord();
    return m_bOpen;
  }
  if (fd >= 0) close(fd);
  std::string text = Utf8ToGbk(txt::kRecordFileCreateFailed);
  size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, Utf8ToGbk(path));
  g_reporter.load()(text);
  return m_bOpen;
}

void CRecordFile::Close() {
  if (!m_bOpen) return;
  if (m_file) std::fclose(m_file);
  m_file = nullptr;
  m_bOpen = 0;
  m_nCurrent = 0;
  m_nCount = 0;
}

void CRecordFile::MoveFirst() {
  m_nCurrent = 0;
  ReadRecord();
}

void CRecordFile::MoveNext() {
  if (m_nCount == 0 || m_nCurrent >= m_nCount) return;
  ++m_nCurrent;
  ReadRecord();
}

void CRecordFile::Move(int n) {
  if (n == 0) return;
  long target = static_cast<long>(m_nCurrent) + n;
  target = std::clamp(target, 0L, static_cast<long>(std::max(m_nCount - 1, 0)));
  m_nCurrent = static_cast<int>(target);
  ReadRecord();
}

bool CRecordFile::IsEOF() const { return m_nCurrent == m_nCount; }

bool CRecordFile::AddNew() {
  if (!m_bOpen) return false;
  m_nCurrent = m_nCount;
  if (!WriteRecord()) return false;
  ++m_nCount;
  return true;
}

bool CRecordFile::Update() {
  if (m_nCount == 0 || m_nCurrent >= m_nCount) return false;
  return WriteRecord();
}

bool CRecordFile::Delete() {
  if (m_nCount == 0 || m_nCurrent >= m_nCount || !m_file) return false;
  const long p = static_cast<long>(m_nCurrent) * kRecordSize;
  const long size = FileSize(m_file);
  if (size < p + kRecordSize) return false;
  const long tail = size - p - kRecordSize;

  // The record file is only touched once the scratch copy is known good;
  // cutting it after a failed copy would lose the last record and keep the
  // deleted one.
  std::string scratchPath = m_strTempDir + "d001.tmp";
  int fd = open(scratchPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  FILE* scratch = fdopen(fd, "w+b");
  if (!scratch) {
    close(fd);
    unlink(scratchPath.c_str());
    return false;
  }
  auto fail = [&] {
    std::fclose(scratch);
    unlink(scratchPath.c_str());
    std::fseek(m_file, p, SEEK_SET);
    return false;
  };

  char buf[kChunk];
  char check[kChunk];
  for (long done = 0; done < tail;) {
    size_t n = static_cast<size_t>(std::min<long>(tail - done, static_cast<long>(kChunk)));
    if (!ReadAt(m_file, p + kRecordSize + done, buf, n)) return fail();
    if (std::fwrite(buf, 1, n, scratch) != n || std::fflush(scratch) != 0) return fail();
    done += static_cast<long>(n);
  }
  // Read the copy back against the original before anything is overwritten.
  if (FileSize(scratch) != tail) return fail();
  for (long done = 0; done < tail;) {
    size_t n = static_cast<size_t>(std::min<long>(tail - done, static_cast<long>(kChunk)));
    if (!ReadAt(scratch, done, check, n) || !ReadAt(m_file, p + kRecordSize + done, buf, n) ||
        std::memcmp(buf, check, n) != 0)
      return fail();
    done += static_cast<long>(n);
  }

  bool copied = true;
  for (long done = 0; done < tail && copied;) {
    size_t n = static_cast<size_t>(std::min<long>(tail - done, static_cast<long>(kChunk)));
    copied = ReadAt(scratch, done, buf, n) && WriteAt(m_file, p + done, buf, n);
    done += static_cast<long>(n);
  }
  if (!copied || std::fflush(m_file) != 0) {
    // The shifted bytes are partly written; the scratch copy is the only
    // whole version of the tail, so it stays on disk.
    std::fclose(scratch);
    return false;
  }
  std::fclose(scratch);
  if (ftruncate(fileno(m_file), size - kRecordSize) != 0) return false;
  unlink(scratchPath.c_str());
  std::fflush(m_file);

  long newSize = FileSize(m_file);
  m_nCount = newSize > 0 ? static_cast<int>(newSize / kRecordSize) : 0;
  if (m_nCount == 0) {
    m_nCurrent = 0;
  } else {
    m_nCurrent = std::min(m_nCurrent, m_nCount - 1);
    ReadRecord();
  }
  return true;
}

int CRecordFile::Find(const std::string& name) {
  MoveFirst();
  while (!IsEOF()) {
    if (m_strName == name) return m_nCurrent;
    MoveNext();
  }
  return -1;
}

bool CRecordFile::ReadRecord() {
  if (m_nCount == 0 || m_nCurrent >= m_nCount || !m_file) return false;
  const long at = static_cast<long>(m_nCurrent) * kRecordSize;
  if (!ReadAt(m_file, at, m_record, sizeof m_record)) return false;
  std::fseek(m_file, at, SEEK_SET);
  TaskEntry e;
  std::memcpy(&e, m_record, sizeof e);
  // A damaged record without its NULs still yields texts within their widths.
  auto text = [](const char* field, size_t width) { return std::string(field, strnlen(field, width - 1)); };
  m_strName = text(e.m_szName, sizeof e.m_szName);
  m_strSize = text(e.m_szSize, sizeof e.m_szSize);
  m_strDone = text(e.m_szDone, sizeof e.m_szDone);
  m_strPercent = text(e.m_szPercent, sizeof e.m_szPercent);
  m_strElapsed = text(e.m_szElapsed, sizeof e.m_szElapsed);
  m_strRemaining = text(e.m_szRemaining, sizeof e.m_szRemaining);
  m_strSpeed = text(e.m_szSpeed, sizeof e.m_szSpeed);
  m_strAddress = text(e.m_szAddress, sizeof e.m_szAddress);
  m_strBlocks = text(e.m_szBlocks, sizeof e.m_szBlocks);
  m_strState = text(e.m_szState, sizeof e.m_szState);
  m_strRetries = text(e.m_szRetries, sizeof e.m_szRetries);
  return true;
}

bool CRecordFile::WriteRecord() {
  if (!m_file) return false;
  TaskEntry e;
  std::memcpy(&e, m_record, sizeof e);
  SetEntryText(e.m_szName, m_strName);
  SetEntryText(e.m_szSize, m_strSize);
  SetEntryText(e.m_szDone, m_strDone);
  SetEntryText(e.m_szPercent, m_strPercent);
  SetEntryText(e.m_szElapsed, m_strElapsed);
  SetEntryText(e.m_szRemaining, m_strRemaining);
  SetEntryText(e.m_szSpeed, m_strSpeed);
  SetEntryText(e.m_szAddress, m_strAddress);
  SetEntryText(e.m_szBlocks, m_strBlocks);
  SetEntryText(e.m_szState, m_strState);
  SetEntryText(e.m_szRetries, m_strRetries);
  std::memcpy(m_record, &e, sizeof e);
  const long at = static_cast<long>(m_nCurrent) * kRecordSize;
  bool ok = WriteAt(m_file, at, m_record, sizeof m_record) && std::fflush(m_file) == 0;
  std::fseek(m_file, at, SEEK_SET);
  return ok;
}
