#pragma once
// One file over HTTP in N parallel byte ranges, one thread per block, joined
// into the target by the thread of the last block to finish. The job itself
// keeps the life cycle (start, stop, the one final callback); its blocks
// are CJobBlocks', its threads CBlockThreads', the files of a target
// CBlockFileSet's and the end CJobMerge's.
//
// How the job's threads share it
// - The owner's thread runs Start (and Prepare with the file-info exchange)
//   and usually Stop and the destructor.
// - A block thread runs its block's connection and, through the block
//   callbacks, the owner's callbacks, OnBlockDone, OnBlockFailed and the
//   merge. The thread keeps its own reference to its connection, so the
//   connection outlives every Stop that happens while the thread is on it.
// - Stop never kills a thread: it aborts every connection (a blocked receive
//   returns at once) and joins. On one of the job's own block threads it
//   joins the others and leaves itself as a leftover; a later Stop from
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
// - The merge runs on the last block's thread.
// - The owner may delete the job inside OnSuccess or OnFailure on a block
//   thread only when none of its other threads can be in Stop or Start at
//   that moment: a Stop of another thread may still be joining the other
//   block threads (the block thread's own Stop returns early then), and the
//   deletion would pull the job from under it. The download task never
//   deletes a job there; it hands that to a thread of its own.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "engine/job/BlockSnapshot.h"
#include "engine/job/BlockThreads.h"
#include "engine/FileCheck.h"
#include "engine/http/HttpSocket.h"
#include "engine/job/JobBlocks.h"
#include "engine/job/JobListener.h"
#include "engine/job/PartShadow.h"
#include "engine/ReadOnlyFace.h"
#include "engine/job/Sidecar.h"
#include "engine/job/TargetLock.h"

class CBlockDownloader final : private IBlockWork, private ISocketListener {
 public:
  explicit CBlockDownloader(IJobListener* owner);
  ~CBlockDownloader();  // the owner calls Stop first
  CBlockDownloader(const CBlockDownloader&) = delete;
  CBlockDownloader& operator=(const CBlockDownloader&) = delete;

  // Runs on the owner's thread: plans the blocks and starts their threads.
  // Every result arrives later through the callbacks.
  static void Start(CBlockDownloader* job);
  // Stops every block (sockets shut down, threads joined; the calling block
  // thread, when Stop runs on one, is left to return by itself).
  void Stop();
  // After OnFailure: the errno of a local cause (full disk, no permission)
  // that no other link can cure, else 0.
  int LocalError() const { return m_nLocalError.load(); }
  // After OnFailure with a LocalError: the text that says it (GBK).
  std::string LocalErrorText();
  // True once a Stop has begun. Any thread.
  bool Stopping() const { return m_bStopped.load(); }
  // Every block file of the running job, in block-number order; empty
  // before the blocks are planned and after a Stop. Any thread.
  std::vector<BlockSnapshot> GetBlockSnapshot();
  // Milliseconds the job's first request took to be answered; -1 until it
  // was. Any thread.
  int AnswerMs() const { return m_nAnswerMs.load(); }
  // Tests only: runs under the job's lock before Start creates block thread
  // n (0, 1, ...); what it throws stands for a thread the system would not
  // create. An empty hook removes it.
  static void SetThreadStartHook(std::function<void(int n)> hook);
  // Tests only: runs on the merge's thread once the job's end is decided,
  // just before the song takes its name. An empty hook removes it.
  static void SetMergeEndHook(std::function<void(CBlockDownloader&)> hook);

  // The owner: told everything through IJobListener; null tells nobody.
  IJobListener* m_pUserData = nullptr;
  int m_nBlocks = 4;
  unsigned char m_bResume = 0;
  std::string m_strURL;
  std::string m_strFileName;
  // Asked of the joined file before the rename; a refused file is removed
  // with the block files and the job fails with the check's text.
  FileCheck CheckFinished = nullptr;

  // Read-only views under the names the job's state has always had; the
  // state itself lives in the collaborators. Any thread.
  // The block threads, one place each (at most m_nBlocks run at once; a
  // thread that finishes its block goes on with another).
  const ReadOnlyFace<std::vector<std::thread::id>> m_pThreads{[this] { return Locked([this] { return m_threads.Ids(); }); }};
  // By block number, splits at the end; valid only while the job runs it.
  const ReadOnlyColumn<CHttpSocket*> m_pBlocks{[this](int i) { return Locked([this, i] { return m_blocks.Raw(i); }); }};
  const ReadOnlyFace<std::vector<std::string>> m_pstrTempFiles{[this] { return Locked([this] { return m_blocks.Files(); }); }};
  const ReadOnlyFace<std::vector<unsigned char>> m_pbDone{[this] { return Locked([this] { return m_blocks.DoneFlags(); }); }};
  const ReadOnlyFace<bool> m_bPrepared{[this] { return m_bPlanned.load(); }};
  // Open only while the merge joins; read on the merging thread.
  const ReadOnlyFace<FILE*> m_fileTarget{[this] { return m_mergeTarget; }};
  const ReadOnlyFace<FILE*> m_fileBlock{[this] { return m_mergeBlock; }};

 private:
  using BlockPtr = CJobBlocks::BlockPtr;

  // The steps of a run.
  void Prepare();
  void AllocateBlocks();
  CHttpSocket* CreateBlock();
  void OnBlockDone(int index);
  void MergeBlocks();
  void OnBlockFailed();

  // ISocketListener: what the job's blocks tell it, on their threads.
  void OnContentLength(int length) override;
  void OnProgress(int received, int blockLength, int index) override;
  void OnMessage(const std::string& text, int index) override;
  void OnSuccess(int index) override;
  void OnFailure(int index) override;
  // IBlockWork: what the job's block threads do.
  void RunBlock(CHttpSocket& block) override;
  BlockPtr WaitForWork(CHttpSocket* donor) override;


  void Report(const std::string& text);
  bool OnOwnBlockThread() const;
  void NoteLocalError(int err, const std::string& text);
  // Ends a merge that failed: the text, then OnFailure unless the end was
  // already decided.
  void FailWith(const std::string& text);
  // Waits (stoppable) for the lock on the target's name; throws when it
  // cannot be had.
  void LockTarget();
  // A block of a file of unknown length has completed with this many bytes.
  void NoteArrivedLength(int length);
  // A block saw another total than the job's: fail and drop the blocks.
  void OnFileChanged();
  // Decides the job's one final callback; false when the job was stopped or
  // another thread has already decided it.
  bool ClaimFinish();

  // What read() returns, read under m_lock.
  template <typename F>
  std::invoke_result_t<F> Locked(F read) {
    std::lock_guard<std::mutex> lk(m_lock);
    return read();
  }

  // m_lock guards m_threads, m_blocks and the flags below them. It is never
  // held while joining a thread or calling out; HttpGetThreadMutex() may be
  // taken inside it, never the other way round.
  std::mutex m_lock;
  std::condition_variable m_idle;  // a Start or a Stop has ended
  std::condition_variable m_work;  // the job stops: idle threads leave
  // Before the blocks: it outlives every connection that copies into it.
  CPartShadow m_shadow;
  CBlockThreads m_threads;
  CJobBlocks m_blocks{[this] { return CreateBlock(); }, this};
  std::atomic<long long> m_nNextWatchMs{0};
  // Set by every Stop and cleared by Start; read without the lock by the
  // block callbacks so texts stop once the job is stopped.
  std::atomic<bool> m_bStopped{false};
  std::atomic<bool> m_bPlanned{false};  // the blocks have been planned and created
  bool m_bFinished = false;    // OnSuccess or OnFailure has been decided
  bool m_bStopActive = false;  // a Stop is joining threads
  bool m_bStarting = false;    // Start is preparing or creating threads
  std::thread::id m_startThread;
  // errno of the local cause (full disk, no permission) that ended the job;
  // 0 when it was not one. Set before OnFailure.
  std::atomic<int> m_nLocalError{0};
  std::atomic<int> m_nAnswerMs{-1};
  std::string m_strLocalError;  // its text when not the one of the errno; under m_lock
  // The merge's open files, so that a Stop from elsewhere can close them.
  FILE* m_mergeTarget = nullptr;
  FILE* m_mergeBlock = nullptr;
  // Held from Prepare until the job lets go of its block files: another
  // process downloading a file of the same name waits for it.
  CTargetLock m_targetLock;
};
