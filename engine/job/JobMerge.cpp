#include "engine/job/JobMerge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "engine/Common.h"
#include "engine/job/DiskWrite.h"
#include "engine/Gbk.h"
#include "engine/job/Sidecar.h"
#include "engine/SongContent.h"
#include "res/Texts.h"

CJobMerge::CJobMerge(std::string target, std::vector<CBlockMerger::Piece> pieces, long long total,
                     FILE*& targetFile, FILE*& blockFile)
    : m_strTarget(std::move(target)), m_pieces(std::move(pieces)) {
  m_merger.emplace(m_strTarget, m_pieces, total, targetFile, blockFile);
}

CJobMerge::~CJobMerge() {
  if (m_merger) m_merger->KeepBlocks();
}

CJobMerge::Verdict CJobMerge::Join(const std::atomic<bool>& stopped, FileCheck check) {
  const CBlockMerger::Outcome joined = m_merger->Join(stopped);
  Verdict v;
  if (joined.stopped || stopped) {
    v.stopped = true;
    return v;
  }
  v.failed = true;
  if (joined.placingError) {
    v.localError = joined.placingError;
    v.text = PlacingFailureText(joined.placingError, m_strTarget);
    m_merger.reset();  // it has put block 0 back itself
    return v;
  }
  if (joined.localError) {
    v.localError = joined.localError;
    v.text = LocalWriteErrorText(joined.localError);
    return v;
  }
  const std::string& part = m_merger->Part();
  const char* refused = nullptr;
  if (!joined.problem) refused = FileStartsWithMarkup(part) ? txt::kSockNotASong : check ? check(part) : nullptr;
  if (refused) {
    // Block 0 may come from an earlier run that took a page for the song;
    // kept, it would be merged again on every resume.
    CSidecar::RemoveFor(m_strTarget);
    for (const auto& p : m_pieces) unlink(p.file.c_str());
    m_merger->Discard();
    m_merger.reset();
    v.text = T(refused);
    return v;
  }
  if (joined.problem) {
    v.text = T(joined.problem);
    return v;
  }
  v.failed = false;
  return v;
}

int CJobMerge::Place() {
  if (rename(m_merger->Part().c_str(), m_strTarget.c_str()) != 0) return errno;  // the blocks stay
  m_merger.reset();
  SyncFolderOf(m_strTarget);
  CSidecar::RemoveFor(m_strTarget);
  for (const auto& p : m_pieces) unlink(p.file.c_str());
  return 0;
}

std::string CJobMerge::PlacingFailureText(int err, const std::string& target) {
  if (IsLocalWriteError(err)) return LocalWriteErrorText(err);
  const std::string folder = GetPathFolder(target);
  struct stat st;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return T(txt::kJobFolderMissing) + Utf8ToGbk(folder);
  if (err == ETXTBSY || err == EBUSY) return T(txt::kJobTargetInUse);
  return SystemErrorText(err);
}
