// The end of a job whose blocks are all in: the block files joined into
// "<target>.part" in file order, checked, flushed, renamed into place.
// Whatever stops it there ends the job with OnFailure and its cause, and
// the block files stay, so a later run only merges again.
#include "engine/BlockDownloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <mutex>

#include "engine/DiskWrite.h"
#include "engine/Gbk.h"
#include "engine/Sidecar.h"
#include "engine/SongContent.h"
#include "res/Texts.h"

namespace {

enum class CopyResult { kOk, kShortSource, kError };

// Appends exactly len bytes from in's offset to out's offset. The kernel
// copies without a trip through user space where the file systems allow.
CopyResult AppendBytes(int in, int out, long long len, const std::atomic<bool>& stopped) {
  constexpr size_t kKernelChunk = 16u << 20;  // bounds the time to notice a stop
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
    left -= n;
  }
  return CopyResult::kOk;
}

}  // namespace

void CBlockDownloader::CloseMergeFiles() {
  if (m_fileBlock) {
    std::fclose(m_fileBlock);
    m_fileBlock = nullptr;
  }
  if (m_fileTarget) {
    std::fclose(m_fileTarget);
    m_fileTarget = nullptr;
  }
}

void CBlockDownloader::AbandonMerge(const std::string& part) {
  CloseMergeFiles();
  unlink(part.c_str());
}

void CBlockDownloader::MergeBlocks() {
  if (m_bStopped) return;
  std::vector<std::string> files;
  std::vector<long long> lengths;
  long long total = 0;
  {
    // In file order, whatever the numbers: a split-off block comes between.
    std::lock_guard<std::mutex> lk(m_lock);
    for (const auto& r : m_plan.Ranges()) {
      files.push_back(m_pstrTempFiles[static_cast<size_t>(r.m_nBlock)]);
      lengths.push_back(r.m_nLast - r.m_nFirst + 1);
    }
    total = m_plan.FileLength();
  }
  const std::string target = m_strFileName;
  Report(T(txt::kJobAllBlocksDone));
  Report(T(txt::kJobMerging));

  // The song only appears under its real name once it is whole.
  const std::string part = target + ".part";
  unlink(part.c_str());
  int out = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (out < 0 || !(m_fileTarget = fdopen(out, "wb"))) {
    const int err = errno;
    if (out >= 0) close(out);
    unlink(part.c_str());
    FailLocally(err, PlacingFailureText(err, target));
    return;
  }

  const char* problem = nullptr;
  int localError = 0;
  for (size_t i = 0; i < files.size() && !problem; ++i) {
    int in = open(files[i].c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0 || !(m_fileBlock = fdopen(in, "rb"))) {
      if (in >= 0) close(in);
      problem = txt::kJobMergeReadFailed;
      break;
    }
    struct stat st;
    if (fstat(in, &st) != 0 || st.st_size != lengths[i]) {
      problem = txt::kJobMergeBlockSize;
    } else {
      switch (AppendBytes(in, out, lengths[i], m_bStopped)) {
        case CopyResult::kOk: break;
        case CopyResult::kShortSource: problem = txt::kJobMergeBlockSize; break;
        case CopyResult::kError:
          problem = txt::kJobMergeWriteFailed;
          if (IsLocalWriteError(errno)) localError = errno;
          break;
      }
    }
    std::fclose(m_fileBlock);
    m_fileBlock = nullptr;
  }
  if (m_bStopped) {
    AbandonMerge(part);
    return;
  }
  if (!problem) {
    struct stat st;
    if (fstat(out, &st) != 0 || st.st_size != total) problem = txt::kJobMergeSize;
  }
  // On disk before it takes the song's name and the block files go: a
  // power loss must leave either the blocks or the whole song.
  if (!problem && fsync(out) != 0) {
    problem = txt::kJobMergeWriteFailed;
    if (IsLocalWriteError(errno)) localError = errno;
  }
  FILE* f = m_fileTarget;
  m_fileTarget = nullptr;
  if (std::fclose(f) != 0 && !problem) problem = txt::kJobMergeWriteFailed;
  if (localError) {
    unlink(part.c_str());
    FailLocally(localError);
    return;
  }
  const char* refused = nullptr;
  if (!problem) refused = FileStartsWithMarkup(part) ? txt::kSockNotASong : CheckFinished ? CheckFinished(part) : nullptr;
  if (refused) {
    // Block 0 may come from an earlier run that took a page for the song;
    // kept, it would be merged again on every resume.
    CSidecar::RemoveFor(target);
    for (const auto& p : files) unlink(p.c_str());
    problem = refused;
  }
  if (problem) {
    unlink(part.c_str());
    FailWith(T(problem));
    return;
  }

  if (!ClaimFinish()) {
    unlink(part.c_str());
    return;
  }
  void* user = m_pUserData;
  MessageCallback onMessage = OnMessage;
  JobCallback onSuccess = OnSuccess;
  JobCallback onFailure = OnFailure;
  RunMergeEndHook(*this);
  if (rename(part.c_str(), target.c_str()) != 0) {
    const int err = errno;
    const std::string text = PlacingFailureText(err, target);
    unlink(part.c_str());
    NoteLocalError(err, text);
    m_targetLock.Unlock();  // the block files wait for a later run
    if (onMessage) onMessage(user, text, -1);
    if (onFailure) onFailure(user);
    return;
  }
  SyncFolderOf(target);
  CSidecar::RemoveFor(target);
  for (const auto& p : files) unlink(p.c_str());
  m_targetLock.Unlock();
  if (onMessage) onMessage(user, T(txt::kJobSucceeded), -1);
  if (onSuccess) onSuccess(user);
}

void CBlockDownloader::FailLocally(int err, const std::string& text) {
  // Block files stay for a later run once the disk has room again.
  NoteLocalError(err, text);
  FailWith(text.empty() ? LocalWriteErrorText(err) : text);
}

void CBlockDownloader::NoteLocalError(int err, const std::string& text) {
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_strLocalError = text;
  }
  m_nLocalError = err ? err : EIO;
}

std::string CBlockDownloader::LocalErrorText() {
  std::string text;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    text = m_strLocalError;
  }
  return text.empty() ? LocalWriteErrorText(m_nLocalError.load()) : text;
}

std::string CBlockDownloader::PlacingFailureText(int err, const std::string& target) {
  if (IsLocalWriteError(err)) return LocalWriteErrorText(err);
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  struct stat st;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return T(txt::kJobFolderMissing) + Utf8ToGbk(folder);
  if (err == ETXTBSY || err == EBUSY) return T(txt::kJobTargetInUse);
  return SystemErrorText(err);
}

namespace {
std::mutex g_mergeHookLock;
std::function<void(CBlockDownloader&)> g_mergeEndHook;  // under g_mergeHookLock
}  // namespace

void CBlockDownloader::SetMergeEndHook(std::function<void(CBlockDownloader&)> hook) {
  std::lock_guard<std::mutex> g(g_mergeHookLock);
  g_mergeEndHook = std::move(hook);
}

void CBlockDownloader::RunMergeEndHook(CBlockDownloader& job) {
  std::function<void(CBlockDownloader&)> hook;
  {
    std::lock_guard<std::mutex> g(g_mergeHookLock);
    hook = g_mergeEndHook;
  }
  if (hook) hook(job);
}

void CBlockDownloader::FailWith(const std::string& text) {
  Report(text);
  if (!ClaimFinish()) return;
  m_targetLock.Unlock();
  void* user = m_pUserData;
  JobCallback onFailure = OnFailure;
  if (onFailure) onFailure(user);
}
