#include "engine/job/BlockDownloader.h"

#include <dirent.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <utility>

#include "engine/Common.h"
#include "engine/job/DiskWrite.h"
#include "engine/job/FileInfoExchange.h"
#include "engine/job/StoredPlan.h"
#include "engine/job/OwnFile.h"
#include "engine/job/Sidecar.h"
#include "engine/job/TempFolder.h"
#include "res/Texts.h"

// How the job's threads share it
// ------------------------------
// - The owner's thread runs Start (and Prepare with the file-info exchange)
//   and usually Stop and the destructor.
// - Block thread i runs m_pBlocks[i]->Run() and, through the block
//   callbacks, the owner's callbacks, OnBlockDone, OnBlockFailed and the
//   merge. The thread keeps its own reference to its connection, so the
//   connection outlives every Stop that happens while the thread is on it.
// - Stop never kills a thread: it aborts every connection (a blocked receive
//   returns at once) and joins. On one of the job's own block threads it
//   joins the others and leaves itself in m_orphans; a later Stop from
//   another thread joins it, or the destructor running on it detaches it.
// - Exactly one final callback (OnSuccess or OnFailure) is decided under
//   m_lock (ClaimFinish), which also waits until Start has let go of the
//   job. After it, the deciding thread reads nothing of the job.
// - A Stop that finds another Stop joining threads waits for it, except on
//   a block thread, which the running Stop is about to join: that one
//   returns at once.
// - A Stop from another thread while Start is preparing aborts the
//   file-info connection and waits for Start to let go of the job.
// - A Stop on a block thread does not wait for Start: Start creates the
//   block threads under m_lock and creates none once m_bStopped is set.
//   When a block has already claimed the end, a failing Start leaves the
//   stopping to it instead of joining it.
// - The merge (BlockDownloaderMerge.cpp) runs on the last block's thread.
// - The owner may delete the job inside OnSuccess or OnFailure on a block
//   thread only when none of its other threads can be in Stop or Start at
//   that moment: a Stop of another thread may still be joining the other
//   block threads (the block thread's own Stop returns early then), and the
//   deletion would pull the job from under it. The download task never
//   deletes a job there; it hands that to a thread of its own.

namespace {

thread_local CBlockDownloader* t_job = nullptr;
thread_local CHttpSocket* t_block = nullptr;
// The block the finishing block's thread is to run next, handed over by
// OnBlockDone from inside the connection's Run.
thread_local std::shared_ptr<CHttpSocket> t_next;

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

std::string BlockFileName(const std::string& target, int index) {
  return GetTempDirectory() + GetPathFileName(target) + "-" + std::to_string(index) + ".hpt";
}

long long FileSize(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && OwnFile::Trusted(st) ? st.st_size : -1;
}

}  // namespace

void CBlockDownloader::ReleaseBlock(CHttpSocket* s) {
  // Whatever the connection says while it closes, nobody listens any more.
  s->OnContentLength = nullptr;
  s->OnProgress = nullptr;
  s->OnSuccess = nullptr;
  s->OnMessage = nullptr;
  s->OnFailure = nullptr;
  s->Close();
  delete s;
}

std::mutex& HttpGetThreadMutex() {
  static std::mutex m;
  return m;
}

CBlockDownloader::CBlockDownloader(void* owner) : m_pUserData(owner) {}

CBlockDownloader::~CBlockDownloader() {
  // The owner normally stopped us already; a second Stop costs nothing and
  // keeps a forgotten one from leaving threads on a dead job.
  Stop();
  std::vector<std::thread> orphans;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    orphans.swap(m_orphans);
  }
  const auto self = std::this_thread::get_id();
  for (auto& t : orphans) {
    if (!t.joinable()) continue;
    if (t.get_id() == self)
      t.detach();
    else
      t.join();
  }
  if (t_job == this) {
    // Destroyed inside a callback on one of our block threads: that thread
    // goes back into its connection's loop, which must not call us again.
    if (t_block) {
      t_block->OnContentLength = nullptr;
      t_block->OnProgress = nullptr;
      t_block->OnSuccess = nullptr;
      t_block->OnMessage = nullptr;
      t_block->OnFailure = nullptr;
    }
    t_job = nullptr;
  }
  if (m_fileBlock) std::fclose(m_fileBlock);
  if (m_fileTarget) std::fclose(m_fileTarget);
}

bool CBlockDownloader::OnOwnBlockThread() const { return t_job == this; }

void CBlockDownloader::Report(const std::string& text) {
  if (!m_bStopped && OnMessage) OnMessage(m_pUserData, text, -1);
}

void CBlockDownloader::BlockContentLength(void* job, int length) {
  auto* j = static_cast<CBlockDownloader*>(job);
  if (!j->m_bStopped && j->OnContentLength) j->OnContentLength(j->m_pUserData, length);
}

void CBlockDownloader::BlockProgress(void* job, int received, int blockLength, int index) {
  auto* j = static_cast<CBlockDownloader*>(job);
  if (j->m_bStopped) return;
  if (j->OnProgress) j->OnProgress(j->m_pUserData, received, blockLength, index);
  const long long now = GetTickMs();
  long long due = j->m_nNextWatchMs.load(std::memory_order_relaxed);
  if (now >= due && j->m_nNextWatchMs.compare_exchange_strong(due, now + kWatchMs)) j->Watch(now);
}

void CBlockDownloader::BlockMessage(void* job, const std::string& text, int index) {
  auto* j = static_cast<CBlockDownloader*>(job);
  if (j->m_bStopped) return;
  {
    std::lock_guard<std::mutex> lk(j->m_lock);
    if (PlanBlock* b = j->m_plan.Find(index)) b->m_strText = text;
  }
  if (j->OnMessage) j->OnMessage(j->m_pUserData, text, index);
}

void CBlockDownloader::BlockSuccess(void* job, int index) {
  auto* j = static_cast<CBlockDownloader*>(job);
  if (t_block && t_block->m_nIndex == index) j->NoteArrivedLength(t_block->m_nLength);
  j->OnBlockDone(index);
}

void CBlockDownloader::BlockFailure(void* job, int /*index*/) {
  auto* j = static_cast<CBlockDownloader*>(job);
  // t_block is the failing connection: this runs on its thread.
  // Noted here, said by whoever ends the job: a text reported from this
  // thread could be lost to another block's Stop in between.
  if (const int err = t_block ? t_block->m_nLocalError.load() : 0) {
    int none = 0;
    j->m_nLocalError.compare_exchange_strong(none, err);
  }
  if (t_block && t_block->m_bFileChanged)
    j->OnFileChanged();
  else
    j->OnBlockFailed();
}

void CBlockDownloader::NoteArrivedLength(int length) {
  {
    std::lock_guard<std::mutex> lk(m_lock);
    // Only a file of unknown length learns it now, from its one block.
    if (m_plan.FileLength() >= 0 || m_plan.Blocks().size() != 1 || length <= 0) return;
    m_plan.FixedSplit(length, 1);
    m_sidecar.m_nLength = length;
  }
  if (!m_bStopped && OnContentLength) OnContentLength(m_pUserData, length);
}

void CBlockDownloader::OnFileChanged() {
  if (!ClaimFinish()) return;
  void* user = m_pUserData;
  MessageCallback onMessage = OnMessage;
  JobCallback onFailure = OnFailure;
  Stop();
  // The blocks were cut for the old file; none of them may be continued.
  // Stop let go of the name: they are only ours to delete under it again.
  if (m_targetLock.TryLock() == CTargetLock::Result::kLocked) {
    CSidecar::RemoveFor(m_strFileName);
    DiscardStaleBlocks({});
    m_targetLock.Unlock();
  }
  if (onMessage) onMessage(user, T(txt::kJobFileChanged), -1);
  if (onFailure) onFailure(user);
}

void CBlockDownloader::BlockThread(BlockPtr block, CBlockDownloader* job) {
  t_job = job;
  while (block) {
    t_block = block.get();
    // Named so a stuck download shows up in a debugger or top by what it is.
    char name[16];
    std::snprintf(name, sizeof name, "vmp3-block-%d", block->m_nIndex % 1000);
    pthread_setname_np(pthread_self(), name);
    const int len = block->m_nLength;
    if (block->m_bResume && len > 0 && FileSize(block->m_strTempFile) == len) {
      // Whole from an earlier run: no request, which would ask for bytes
      // past the block's end.
      BlockProgress(job, len, len, block->m_nIndex);
      job->OnBlockDone(block->m_nIndex);
    } else {
      block->Run();
    }
    t_block = nullptr;
    // When Stop has already let go, this thread is the last user and the
    // connection is closed and freed with `done`, unless the next block
    // has taken it over.
    BlockPtr done = std::move(block);
    block = std::move(t_next);
    t_next = nullptr;
    if (t_job != job) break;  // the job was destroyed inside a callback
    if (!block) block = job->WaitForWork(done.get());
  }
  t_job = nullptr;
}

namespace {
std::mutex g_hookLock;
std::function<void(int)> g_threadStartHook;  // under g_hookLock
}  // namespace

void CBlockDownloader::SetThreadStartHook(std::function<void(int n)> hook) {
  std::lock_guard<std::mutex> g(g_hookLock);
  g_threadStartHook = std::move(hook);
}

void CBlockDownloader::Start(CBlockDownloader* job) {
  if (!job || job->m_strURL.empty() || job->m_strFileName.empty()) return;
  const auto self = std::this_thread::get_id();
  std::vector<std::thread> leftovers;
  {
    std::unique_lock<std::mutex> lk(job->m_lock);
    job->m_idle.wait(lk, [&] { return !job->m_bStopActive && !job->m_bStarting; });
    for (auto& t : job->m_pThreads)
      if (t.joinable()) return;  // already running
    job->m_bStarting = true;
    job->m_startThread = self;
    if (!job->m_bPrepared) {
      job->m_nLocalError = 0;
      job->m_strLocalError.clear();
      job->m_bStopped = false;
      job->m_bFinished = false;
    }
    for (auto& t : job->m_orphans)
      if (t.joinable() && t.get_id() != self) leftovers.push_back(std::move(t));
    std::erase_if(job->m_orphans, [](const std::thread& t) { return !t.joinable(); });
  }
  for (auto& t : leftovers) t.join();

  std::optional<std::string> failure;
  try {
    job->Prepare();
    std::function<void(int)> hook;
    {
      std::lock_guard<std::mutex> g(g_hookLock);
      hook = g_threadStartHook;
    }
    std::lock_guard<std::mutex> lk(job->m_lock);
    auto& plan = job->m_plan.Blocks();
    auto b = plan.begin();
    for (size_t i = 0; i < job->m_pThreads.size() && !job->m_bStopped; ++i) {
      if (job->m_pThreads[i].joinable()) continue;
      while (b != plan.end() && (b->m_bStarted || b->m_bDone)) ++b;
      if (b == plan.end()) break;
      if (hook) hook(static_cast<int>(i));
      job->m_plan.Start(b->m_nBlock, GetTickMs());
      job->m_pThreads[i] =
          std::thread(&CBlockDownloader::BlockThread, job->m_owned[static_cast<size_t>(b->m_nBlock)], job);
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
  void* user = job->m_pUserData;
  MessageCallback onMessage = job->OnMessage;
  JobCallback onFailure = job->OnFailure;
  letGo();
  if (onMessage) onMessage(user, *failure, -1);
  if (onFailure) onFailure(user);
}

void CBlockDownloader::Prepare() {
  if (m_bPrepared) return;
  m_bPrepared = 1;
  if (m_nBlocks < 1) throw std::invalid_argument("block count");
  if (GetTempDirectory().empty()) throw JobError{TempFolder::RefusalText()};
  LockTarget();
  AllocateBlocks();
  BlockPtr first(CreateBlock(), ReleaseBlock);
  {
    std::lock_guard<std::mutex> lk(m_lock);
    if (m_bStopped) throw JobStopped{};
    m_owned.back() = first;
    m_pBlocks.back() = first.get();
  }
  std::string url = m_strURL;
  int length = 0;
  bool ranged = false;
  // Block 0's bytes on disk are not asked for again, if the plan goes on.
  // Read once: the target's lock keeps it as it is until the plan is made.
  std::optional<CSidecar> stored;
  if (m_bResume) stored = CSidecar::Load(m_strFileName);
  CStoredPlan::FirstAsk ask;
  if (stored)
    ask = CStoredPlan::FirstRequest(*stored, m_strURL, [this](int b) { return BlockFileName(m_strFileName, b); });
  const long long asked = GetTickMs();
  const bool ok = FileInfoExchange::Open(*first, url, length, ranged, ask.from, ask.to);
  if (ok) m_nAnswerMs = static_cast<int>(std::min<long long>(GetTickMs() - asked, INT_MAX));
  if (m_bStopped) throw JobStopped{};
  if (!ok) throw JobError{T(txt::kJobFileInfoError)};
  if (length == 0) throw JobError{T(txt::kJobZeroLength)};
  PlanBlocks(first, url, length, ranged, ranged ? stored : std::nullopt);
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
  const int n = std::max(m_nBlocks, 0);
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back(BlockFileName(m_strFileName, i));
  {
    std::lock_guard<std::mutex> lk(m_lock);
    for (auto& t : m_pThreads)
      if (t.joinable()) m_orphans.push_back(std::move(t));
    m_pThreads.clear();
    m_pThreads.resize(static_cast<size_t>(n));
    m_pBlocks.assign(static_cast<size_t>(n), nullptr);
    m_owned.assign(static_cast<size_t>(n), nullptr);
    m_pstrTempFiles = std::move(names);
  }
  std::lock_guard<std::mutex> done(HttpGetThreadMutex());
  m_pbDone.assign(static_cast<size_t>(n), 0);
}

CHttpSocket* CBlockDownloader::CreateBlock() {
  auto* s = new CHttpSocket(this);
  s->OnContentLength = &CBlockDownloader::BlockContentLength;
  s->OnProgress = &CBlockDownloader::BlockProgress;
  s->OnMessage = &CBlockDownloader::BlockMessage;
  s->OnSuccess = &CBlockDownloader::BlockSuccess;
  s->OnFailure = &CBlockDownloader::BlockFailure;
  return s;
}

void CBlockDownloader::PlanBlocks(const BlockPtr& first, const std::string& url, int length,
                                  bool ranged, const std::optional<CSidecar>& stored) {
  // A block with no bytes could never complete, so a short file gets fewer.
  // A file of unknown length (-1) is one block from byte 0 to the body's
  // end, never split and never continued: there is nothing to check its
  // pieces by.
  if (length < 0) ranged = false;
  const int n = ranged ? std::min(m_nBlocks, length) : 1;
  m_nBlocks = n;
  CSidecar facts;
  facts.m_nLength = length;
  facts.m_nBlocks = n;
  facts.m_strValidator = first->m_strValidator;
  facts.m_strURL = AddressWithoutCredentials(m_strURL);
  const bool resume = ranged && m_bResume;
  // Block files are only continued when they were written for this very
  // file; the record says which range each holds, whatever the block count
  // is now. Anything else would stitch foreign bytes in.
  CBlockPlan plan;
  bool kept = false;
  if (stored) {
    CSidecar same = facts;
    same.m_nBlocks = stored->m_nBlocks;
    kept = same.Continues(*stored) && CStoredPlan::Continue(*stored, length, plan);
    // A block file holding a record is another target's record, written
    // under the name older copies used, never bytes of this file.
    for (const auto& b : plan.Blocks())
      if (kept && CSidecar::IsRecordFile(BlockFileName(m_strFileName, b.m_nBlock))) kept = false;
  }
  if (!kept) {
    plan = CBlockPlan();
    plan.FixedSplit(length, n);
    // The record goes before the files it describes: a crash in between
    // leaves files that no later start continues.
    CSidecar::RemoveFor(m_strFileName);
  }
  if (length < 0) {
    PlanBlock whole;
    whole.m_nLast = -2;  // Length() -1: to the end of the body
    plan.Blocks().push_back(whole);
  }
  std::vector<int> keep;
  if (kept)
    for (auto& b : plan.Blocks()) {
      keep.push_back(b.m_nBlock);
      b.m_nBytes = std::clamp<long long>(FileSize(BlockFileName(m_strFileName, b.m_nBlock)), 0, b.Length());
    }
  DiscardStaleBlocks(keep);

  // Block 0 goes on with the first reply's body only where its file ends.
  std::vector<BlockPtr> blocks{first};
  for (size_t i = 1; i < plan.Blocks().size(); ++i) blocks.emplace_back(CreateBlock(), ReleaseBlock);
  if (plan.Blocks()[0].m_nFirst != 0 || plan.Blocks()[0].m_nBytes != first->m_nHeldStart) first->Close();
  std::lock_guard<std::mutex> lk(m_lock);
  if (m_bStopped) throw JobStopped{};
  m_plan = plan;
  m_strBlockURL = url;
  m_sidecar = facts;
  m_bSplittable = ranged;
  for (auto& t : m_pThreads)
    if (t.joinable()) m_orphans.push_back(std::move(t));
  m_pThreads.clear();
  m_pThreads.resize(static_cast<size_t>(n));
  m_owned.clear();
  m_pBlocks.clear();
  Grow(static_cast<size_t>(m_plan.NextNumber()));
  for (size_t i = 0; i < blocks.size(); ++i) {
    const PlanBlock& b = m_plan.Blocks()[i];
    CHttpSocket* s = blocks[i].get();
    s->SetURL(url);
    s->SetBare(url != m_strURL);
    s->SetTempFile(m_pstrTempFiles[static_cast<size_t>(b.m_nBlock)]);
    s->m_nIndex = b.m_nBlock;
    s->m_nStart = static_cast<int>(b.m_nFirst);
    s->m_nLength = static_cast<int>(b.Length());
    s->m_nFileLength = length > 0 ? length : 0;
    s->m_bResume = resume ? 1 : 0;
    s->m_bRanged = ranged;
    m_owned[static_cast<size_t>(b.m_nBlock)] = blocks[i];
    m_pBlocks[static_cast<size_t>(b.m_nBlock)] = s;
  }
  // Without its first record the blocks could later be continued by an
  // older one that describes other ranges.
  if (const int err = WriteSidecar()) {
    if (IsLocalWriteError(err)) throw JobLocalError{err};
    throw JobError{SystemErrorText(err)};
  }
}

void CBlockDownloader::Grow(size_t blocks) {
  const size_t old = m_owned.size();
  if (blocks <= old) return;
  m_owned.resize(blocks);
  m_pBlocks.resize(blocks, nullptr);
  m_pstrTempFiles.resize(blocks);
  for (size_t i = old; i < blocks; ++i) m_pstrTempFiles[i] = BlockFileName(m_strFileName, static_cast<int>(i));
  // Numbers no range uses count as done, so they never hold the merge.
  std::lock_guard<std::mutex> done(HttpGetThreadMutex());
  m_pbDone.resize(blocks, 1);
  for (const auto& b : m_plan.Blocks())
    if (static_cast<size_t>(b.m_nBlock) >= old && !b.m_bDone) m_pbDone[static_cast<size_t>(b.m_nBlock)] = 0;
}

int CBlockDownloader::WriteSidecar() {
  m_sidecar.m_ranges = m_plan.Ranges();
  return m_sidecar.WriteFor(m_strFileName);
}

void CBlockDownloader::DiscardStaleBlocks(const std::vector<int>& keep) {
  // Every "<name>-<k>.hpt" the plan does not continue: an earlier run may
  // have split the file into more pieces.
  const std::string dir = GetTempDirectory();
  const std::string prefix = GetPathFileName(m_strFileName) + "-";
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> doomed;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.compare(name.size() - 4, 4, ".hpt") != 0) continue;
    std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    if (std::find(keep.begin(), keep.end(), std::atoi(digits.c_str())) == keep.end() ||
        digits != std::to_string(std::atoi(digits.c_str())))
      doomed.push_back(dir + name);
  }
  closedir(d);
  for (const auto& p : doomed) unlink(p.c_str());
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
    BlockPtr next = NextWork(index, t_job == this ? t_block : nullptr);
    std::lock_guard<std::mutex> done(HttpGetThreadMutex());
    if (index < 0 || static_cast<size_t>(index) >= m_pbDone.size() || m_pbDone[index]) return;
    m_pbDone[static_cast<size_t>(index)] = 1;
    last = std::all_of(m_pbDone.begin(), m_pbDone.end(), [](unsigned char f) { return f != 0; });
    if (t_job == this) t_next = std::move(next);
  }
  if (last) MergeBlocks();
}

void CBlockDownloader::OnBlockFailed() {
  if (!ClaimFinish()) return;
  if (const int err = m_nLocalError.load()) Report(LocalWriteErrorText(err));
  Stop();
  void* user = m_pUserData;
  JobCallback onFailure = OnFailure;
  if (onFailure) onFailure(user);
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
    for (auto& b : m_owned)
      if (b) b->Abort();
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
    for (auto& b : m_owned)
      if (b) b->Abort();  // Start may have added some while we waited
    threads = std::move(m_pThreads);
    for (auto& t : m_orphans) threads.push_back(std::move(t));
    m_orphans.clear();
    blocks = std::move(m_owned);
    m_pThreads.clear();
    m_owned.clear();
    m_pBlocks.clear();
    m_pstrTempFiles.clear();
    m_plan = CBlockPlan();
    m_bPrepared = 0;
  }
  {
    std::lock_guard<std::mutex> done(HttpGetThreadMutex());
    m_pbDone.clear();
  }
  std::thread mine;
  for (auto& t : threads) {
    if (!t.joinable()) continue;
    if (t.get_id() == self)
      mine = std::move(t);
    else
      t.join();
  }
  blocks.clear();
  if (!onBlock) {
    // Every merge has ended with its thread; these are only left by a merge
    // that was cut short.
    CloseMergeFiles();
  }
  // Every other thread of the job has left its block files.
  m_targetLock.Unlock();
  std::lock_guard<std::mutex> lk(m_lock);
  if (mine.joinable()) m_orphans.push_back(std::move(mine));
  m_bStopActive = false;
  m_idle.notify_all();
}
