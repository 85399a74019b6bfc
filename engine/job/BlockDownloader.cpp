#include "engine/job/BlockDownloader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <stdexcept>
#include <utility>

#include "engine/job/BlockFileSet.h"
#include "engine/Common.h"
#include "engine/job/DiskWrite.h"
#include "engine/job/JobMerge.h"
#include "engine/job/JobOpening.h"
#include "engine/job/JobTestHooks.h"
#include "engine/job/TempFolder.h"
#include "res/Texts.h"

namespace {

// How often a flowing block looks at the others.
constexpr long long kWatchMs = 200;

// A text the job reports after "创建下载线程时出错: ".
struct JobError {
  std::string text;
};
// A local cause (full disk, no permission) stopped the start.
struct JobLocalError {
  int err;
};
// The owner stopped the job while it was being prepared: no callback.
struct JobStopped {};

}  // namespace

CBlockDownloader::CBlockDownloader(IJobListener* owner) : m_pUserData(owner) {}

CBlockDownloader::~CBlockDownloader() {
  // The owner normally stopped us already; a second Stop costs nothing and
  // keeps a forgotten one from leaving threads on a dead job.
  Stop();
  std::vector<std::thread> rest;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    rest = m_threads.TakeAll();
  }
  std::thread mine = CBlockThreads::JoinAllBut(rest, std::this_thread::get_id());
  if (mine.joinable()) mine.detach();
  // Destroyed inside a callback on one of our block threads: that thread
  // goes back into its connection's loop, which must not call us again.
  CBlockThreads::Forget(*this);
  CBlockMerger::Close(m_mergeTarget, m_mergeBlock);
}

bool CBlockDownloader::OnOwnBlockThread() const { return CBlockThreads::CurrentWork() == this; }

void CBlockDownloader::Report(const std::string& text) {
  if (!m_bStopped && m_pUserData) m_pUserData->OnMessage(text, -1);
}

std::vector<BlockSnapshot> CBlockDownloader::GetBlockSnapshot() {
  std::lock_guard<std::mutex> lk(m_lock);
  return m_blocks.Scheduler().Snapshot(GetTickMs());
}

void CBlockDownloader::OnContentLength(int length) {
  if (!m_bStopped && m_pUserData) m_pUserData->OnContentLength(length);
}

void CBlockDownloader::OnProgress(int received, int blockLength, int index) {
  if (m_bStopped) return;
  if (m_pUserData) m_pUserData->OnProgress(received, blockLength, index);
  const long long now = GetTickMs();
  long long due = m_nNextWatchMs.load(std::memory_order_relaxed);
  if (now < due || !m_nNextWatchMs.compare_exchange_strong(due, now + kWatchMs)) return;
  // The caller has just received a byte, so others do flow: a connection
  // that has sent nothing for long is asked again on a fresh one.
  std::lock_guard<std::mutex> lk(m_lock);
  if (!m_bStopped) m_blocks.Scheduler().Watch(now, GetTimeOut.load());
}

void CBlockDownloader::OnMessage(const std::string& text, int index) {
  if (m_bStopped) return;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_blocks.Scheduler().SetText(index, text);
  }
  if (m_pUserData) m_pUserData->OnMessage(text, index);
}

void CBlockDownloader::OnSuccess(int index) {
  const CHttpSocket* block = CBlockThreads::CurrentBlock();
  if (block && block->m_nIndex == index) NoteArrivedLength(block->m_nLength);
  OnBlockDone(index);
}

void CBlockDownloader::OnFailure(int /*index*/) {
  // This runs on the failing connection's thread. Noted here, said by
  // whoever ends the job: a text reported from this thread could be lost
  // to another block's Stop in between.
  const CHttpSocket* block = CBlockThreads::CurrentBlock();
  if (const int err = block ? block->m_nLocalError.load() : 0) {
    int none = 0;
    m_nLocalError.compare_exchange_strong(none, err);
  }
  if (block && block->m_bFileChanged)
    OnFileChanged();
  else
    OnBlockFailed();
}

void CBlockDownloader::NoteArrivedLength(int length) {
  {
    std::lock_guard<std::mutex> lk(m_lock);
    // Only a file of unknown length learns it now, from its one block.
    if (!m_blocks.LearnLength(length)) return;
  }
  if (!m_bStopped && m_pUserData) m_pUserData->OnContentLength(length);
}

void CBlockDownloader::OnFileChanged() {
  if (!ClaimFinish()) return;
  IJobListener* owner = m_pUserData;
  Stop();
  // The blocks were cut for the old file; none of them may be continued.
  // Stop let go of the name: they are only ours to delete under it again.
  if (m_targetLock.TryLock() == CTargetLock::Result::kLocked) {
    CSidecar::RemoveFor(m_strFileName);
    CBlockFileSet(m_strFileName).DiscardAllBut({});
    m_targetLock.Unlock();
  }
  if (owner) {
    owner->OnMessage(T(txt::kJobFileChanged), -1);
    owner->OnFailure();
  }
}

void CBlockDownloader::RunBlock(CHttpSocket& block) {
  const int len = block.m_nLength;
  if (block.m_bResume && len > 0 && CBlockFileSet::TrustedSize(block.m_strTempFile) == len) {
    // Whole from an earlier run: no request, which would ask for bytes
    // past the block's end.
    OnProgress(len, len, block.m_nIndex);
    OnBlockDone(block.m_nIndex);
  } else {
    block.Run();
  }
}

CBlockDownloader::BlockPtr CBlockDownloader::WaitForWork(CHttpSocket* donor) {
  std::unique_lock<std::mutex> lk(m_lock);
  return m_blocks.WaitForWork(lk, m_work, [this] { return !m_bStopped && !m_bFinished; }, donor);
}

void CBlockDownloader::SetThreadStartHook(std::function<void(int n)> hook) {
  JobTestHooks::SetThreadStart(std::move(hook));
}

void CBlockDownloader::SetMergeEndHook(std::function<void(CBlockDownloader&)> hook) {
  JobTestHooks::SetMergeEnd(std::move(hook));
}

void CBlockDownloader::Start(CBlockDownloader* job) {
  if (!job || job->m_strURL.empty() || job->m_strFileName.empty()) return;
  const auto self = std::this_thread::get_id();
  std::vector<std::thread> leftovers;
  {
    std::unique_lock<std::mutex> lk(job->m_lock);
    job->m_idle.wait(lk, [&] { return !job->m_bStopActive && !job->m_bStarting; });
    if (job->m_threads.AnyRunning()) return;  // already running
    job->m_bStarting = true;
    job->m_startThread = self;
    if (!job->m_bPlanned) {
      job->m_nLocalError = 0;
      job->m_strLocalError.clear();
      job->m_bStopped = false;
      job->m_bFinished = false;
    }
    leftovers = job->m_threads.TakeLeftovers(self);
  }
  for (auto& t : leftovers) t.join();

  std::optional<std::string> failure;
  try {
    job->Prepare();
    const std::function<void(int)> hook = JobTestHooks::ThreadStart();
    std::lock_guard<std::mutex> lk(job->m_lock);
    auto& plan = job->m_blocks.Scheduler().Plan().Blocks();
    auto b = plan.begin();
    for (size_t i = 0; i < job->m_threads.Places() && !job->m_bStopped; ++i) {
      if (job->m_threads.Running(i)) continue;
      while (b != plan.end() && (b->m_bStarted || b->m_bDone)) ++b;
      if (b == plan.end()) break;
      if (hook) hook(static_cast<int>(i));
      job->m_blocks.Scheduler().Start(b->m_nBlock, GetTickMs());
      job->m_threads.Launch(i, *job, job->m_blocks.Get(b->m_nBlock));
    }
  } catch (const JobError& e) {
    failure = T(txt::kJobStartError) + e.text;
  } catch (const JobLocalError& e) {
    job->m_nLocalError = e.err;
    failure = LocalWriteErrorText(e.err);
  } catch (const JobStopped&) {
  } catch (...) {
    failure = T(txt::kJobStartError) + T(txt::kJobUnknownError);
  }

  auto letGo = [job] {
    std::lock_guard<std::mutex> lk(job->m_lock);
    job->m_bStarting = false;
    job->m_idle.notify_all();
  };
  if (!failure) {
    letGo();
    return;  // the job may be gone as soon as the lock is released
  }
  if (!job->ClaimFinish()) {
    // A block that failed meanwhile decided the end and stops the job
    // itself; it waits for Start to let go before it tells the owner, so
    // joining it here would never end.
    letGo();
    return;
  }
  job->Stop();
  IJobListener* owner = job->m_pUserData;
  letGo();
  if (owner) {
    owner->OnMessage(*failure, -1);
    owner->OnFailure();
  }
}

void CBlockDownloader::Prepare() {
  if (m_bPlanned) return;
  m_bPlanned = true;
  if (m_nBlocks < 1) throw std::invalid_argument("block count");
  if (GetTempDirectory().empty()) throw JobError{TempFolder::RefusalText()};
  LockTarget();
  AllocateBlocks();
  BlockPtr first = CBlockTable::Own(CreateBlock());
  {
    // In the last place, so that a Stop meanwhile reaches it.
    std::lock_guard<std::mutex> lk(m_lock);
    if (m_bStopped) throw JobStopped{};
    m_blocks.Park(first);
  }
  CJobOpening opening(m_strURL, m_strFileName, m_bResume != 0);
  const bool ok = opening.Ask(*first);
  if (ok) m_nAnswerMs = opening.AnswerMs();
  if (m_bStopped) throw JobStopped{};
  if (!ok) throw JobError{T(txt::kJobFileInfoError)};
  if (opening.Length() == 0) throw JobError{T(txt::kJobZeroLength)};
  CJobOpening::Layout layout = opening.Lay(*first, m_nBlocks);
  m_nBlocks = layout.blocks;
  std::vector<BlockPtr> blocks{first};
  for (size_t i = 1; i < layout.plan.Blocks().size(); ++i) blocks.push_back(CBlockTable::Own(CreateBlock()));
  if (!layout.firstGoesOn) first->Close();
  std::lock_guard<std::mutex> lk(m_lock);
  if (m_bStopped) throw JobStopped{};
  m_threads.Reset(static_cast<size_t>(layout.blocks));
  // Worth a copy in place only when every block starts afresh and may be
  // split: a continued block's earlier bytes are not in it.
  bool fresh = layout.ranged;
  for (const PlanBlock& b : layout.plan.Blocks()) fresh = fresh && b.m_nBytes == 0;
  m_shadow.Begin(m_strFileName, fresh ? layout.plan.FileLength() : -1);
  // Without its first record the blocks could later be continued by an
  // older one that describes other ranges.
  if (const int err = m_blocks.Install(std::move(layout.plan), layout.ranged, blocks, opening.BlockURL(), m_strURL,
                                       layout.facts, layout.resume)) {
    if (IsLocalWriteError(err)) throw JobLocalError{err};
    throw JobError{SystemErrorText(err)};
  }
}

void CBlockDownloader::LockTarget() {
  m_targetLock.SetPath(CTargetLock::PathFor(m_strFileName));
  if (m_targetLock.Lock([this] { return m_bStopped.load(); },
                        [this] { Report(T(txt::kJobWaitingForTarget)); }))
    return;
  if (m_bStopped) throw JobStopped{};
  if (IsLocalWriteError(errno)) throw JobLocalError{errno};
  throw JobError{T(txt::kJobUnknownError)};
}

void CBlockDownloader::AllocateBlocks() {
  const size_t n = static_cast<size_t>(std::max(m_nBlocks, 0));
  std::lock_guard<std::mutex> lk(m_lock);
  m_threads.Reset(n);
  m_blocks.Allocate(m_strFileName, n);
}

CHttpSocket* CBlockDownloader::CreateBlock() {
  auto* s = new CHttpSocket(this);
  // The same owner the job's splits ask the host's limit as.
  s->m_pHostOwner = static_cast<const void*>(this);
  s->m_pShadow = &m_shadow;
  return s;
}

bool CBlockDownloader::ClaimFinish() {
  std::unique_lock<std::mutex> lk(m_lock);
  if (m_bStopped || m_bFinished) return false;
  m_bFinished = true;
  // The owner may delete the job inside the final callback, so Start must
  // have let go of it first. Start never waits for the thread that claimed.
  const auto self = std::this_thread::get_id();
  m_idle.wait(lk, [&] { return !m_bStarting || m_startThread == self; });
  return true;
}

void CBlockDownloader::OnBlockDone(int index) {
  if (m_bStopped) return;
  bool last = false;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    if (m_bStopped) return;
    // A split adds its block before this one counts as done, so the merge
    // never starts while a range is still open.
    const bool mine = OnOwnBlockThread();
    BlockPtr next = m_blocks.NextWork(index, mine ? CBlockThreads::CurrentBlock() : nullptr);
    if (!m_blocks.CountIn(index, last)) return;
    if (mine) CBlockThreads::HandOver(std::move(next));
  }
  if (last) MergeBlocks();
}

void CBlockDownloader::OnBlockFailed() {
  if (!ClaimFinish()) return;
  if (const int err = m_nLocalError.load()) Report(LocalWriteErrorText(err));
  Stop();
  IJobListener* owner = m_pUserData;
  if (owner) owner->OnFailure();
}

void CBlockDownloader::Stop() {
  const bool onBlock = OnOwnBlockThread();
  const auto self = std::this_thread::get_id();
  std::vector<std::thread> threads;
  std::vector<BlockPtr> blocks;
  {
    std::unique_lock<std::mutex> lk(m_lock);
    m_bStopped = true;
    m_work.notify_all();
    m_blocks.AbortAll();
    for (;;) {
      // The running Stop is about to join this very thread: waiting for it
      // would never end.
      if (m_bStopActive && onBlock) return;
      // A block thread need not wait for Start: Start creates threads under
      // m_lock and stops creating once m_bStopped is set.
      if (!m_bStopActive && (!m_bStarting || m_startThread == self || onBlock)) break;
      m_idle.wait(lk);
    }
    m_bStopActive = true;
    m_blocks.AbortAll();  // Start may have added some while we waited
    threads = m_threads.TakeAll();
    blocks = m_blocks.Clear();
    m_bPlanned = false;
  }
  std::thread mine = CBlockThreads::JoinAllBut(threads, self);
  blocks.clear();
  // Every merge has ended with its thread; these are only left by a merge
  // that was cut short.
  if (!onBlock) CBlockMerger::Close(m_mergeTarget, m_mergeBlock);
  // Every other thread of the job has left its block files.
  m_shadow.Discard();
  m_targetLock.Unlock();
  std::lock_guard<std::mutex> lk(m_lock);
  m_threads.KeepLeftover(std::move(mine));
  m_bStopActive = false;
  m_idle.notify_all();
}

void CBlockDownloader::MergeBlocks() {
  if (m_bStopped) return;
  std::vector<CBlockMerger::Piece> pieces;
  std::vector<CPartShadow::Range> ranges;
  long long total = 0;
  {
    // In file order, whatever the numbers: a split-off block comes between.
    std::lock_guard<std::mutex> lk(m_lock);
    pieces = m_blocks.Pieces(total);
    for (const auto& r : m_blocks.Plan().Ranges())
      ranges.push_back({r.m_nBlock, r.m_nFirst, r.m_nLast - r.m_nFirst + 1});
  }
  const std::string target = m_strFileName;
  Report(T(txt::kJobAllBlocksDone));
  Report(T(txt::kJobMerging));
  // It works on this job's file members: it must be gone before any
  // callback, since the owner may delete the job in one.
  std::optional<CJobMerge> merge(std::in_place, target, pieces, total, m_mergeTarget, m_mergeBlock);
  merge->UseWhole(m_shadow.Take(ranges));
  const CJobMerge::Verdict verdict = merge->Join(m_bStopped, CheckFinished);
  if (verdict.stopped) return;
  if (verdict.failed) {
    merge.reset();
    if (verdict.localError) NoteLocalError(verdict.localError, verdict.text);
    FailWith(verdict.text);
    return;
  }
  if (!ClaimFinish()) return;
  IJobListener* owner = m_pUserData;
  JobTestHooks::RunMergeEnd(*this);
  if (const int err = merge->Place()) {
    const std::string text = CJobMerge::PlacingFailureText(err, target);
    merge.reset();
    NoteLocalError(err, text);
    m_targetLock.Unlock();  // the block files wait for a later run
    if (owner) {
      owner->OnMessage(text, -1);
      owner->OnFailure();
    }
    return;
  }
  merge.reset();
  m_targetLock.Unlock();
  if (owner) {
    owner->OnMessage(T(txt::kJobSucceeded), -1);
    owner->OnSuccess();
  }
}

void CBlockDownloader::FailWith(const std::string& text) {
  Report(text);
  if (!ClaimFinish()) return;
  m_shadow.Discard();
  m_targetLock.Unlock();
  IJobListener* owner = m_pUserData;
  if (owner) owner->OnFailure();
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
