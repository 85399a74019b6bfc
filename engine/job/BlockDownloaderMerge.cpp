// The end of a job whose blocks are all in: the block files joined into
// "<target>.part" in file order (CBlockMerger), checked, flushed, renamed
// into place.
// Whatever stops it there ends the job with OnFailure and its cause, and
// the block files stay, so a later run only merges again.
#include "engine/job/BlockDownloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>

#include "engine/job/BlockMerger.h"
#include "engine/job/DiskWrite.h"
#include "engine/Gbk.h"
#include "engine/job/Sidecar.h"
#include "engine/SongContent.h"
#include "res/Texts.h"

void CBlockDownloader::CloseMergeFiles() { CBlockMerger::Close(m_fileTarget, m_fileBlock); }

void CBlockDownloader::MergeBlocks() {
  if (m_bStopped) return;
  std::vector<CBlockMerger::Piece> pieces;
  long long total = 0;
  {
    // In file order, whatever the numbers: a split-off block comes between.
    std::lock_guard<std::mutex> lk(m_lock);
    for (const auto& r : m_plan.Ranges())
      pieces.push_back({m_pstrTempFiles[static_cast<size_t>(r.m_nBlock)], r.m_nLast - r.m_nFirst + 1});
    total = m_plan.FileLength();
  }
  const std::string target = m_strFileName;
  Report(T(txt::kJobAllBlocksDone));
  Report(T(txt::kJobMerging));

  // The song only appears under its real name once it is whole.
  // It works on this job's file members: it must be gone before any
  // callback, since the owner may delete the job in one.
  std::optional<CBlockMerger> merger(std::in_place, target, pieces, total, m_fileTarget, m_fileBlock);
  const CBlockMerger::Outcome joined = merger->Join(m_bStopped);
  const std::string part = merger->Part();
  const auto keepBlocks = [&] {
    merger->KeepBlocks();
    merger.reset();
  };
  if (joined.stopped || m_bStopped) {
    keepBlocks();
    return;
  }
  if (joined.placingError) {
    merger.reset();
    FailLocally(joined.placingError, PlacingFailureText(joined.placingError, target));
    return;
  }
  if (joined.localError) {
    keepBlocks();
    FailLocally(joined.localError);
    return;
  }
  const char* problem = joined.problem;
  const char* refused = nullptr;
  if (!problem) refused = FileStartsWithMarkup(part) ? txt::kSockNotASong : CheckFinished ? CheckFinished(part) : nullptr;
  if (refused) {
    // Block 0 may come from an earlier run that took a page for the song;
    // kept, it would be merged again on every resume.
    CSidecar::RemoveFor(target);
    for (const auto& p : pieces) unlink(p.file.c_str());
    merger->Discard();
    merger.reset();
    FailWith(T(refused));
    return;
  }
  if (problem) {
    keepBlocks();
    FailWith(T(problem));
    return;
  }

  if (!ClaimFinish()) {
    keepBlocks();
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
    keepBlocks();
    NoteLocalError(err, text);
    m_targetLock.Unlock();  // the block files wait for a later run
    if (onMessage) onMessage(user, text, -1);
    if (onFailure) onFailure(user);
    return;
  }
  merger.reset();
  SyncFolderOf(target);
  CSidecar::RemoveFor(target);
  for (const auto& p : pieces) unlink(p.file.c_str());
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
