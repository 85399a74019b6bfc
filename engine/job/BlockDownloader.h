#pragma once
// One file over HTTP in N parallel byte ranges, one thread per block, joined
// into the target by the thread of the last block to finish.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include "engine/job/BlockPlan.h"
#include "engine/job/BlockSnapshot.h"
#include "engine/Callbacks.h"
#include "engine/http/HttpSocket.h"
#include "engine/job/Sidecar.h"
#include "engine/job/TargetLock.h"

class CBlockDownloader {
 public:
  explicit CBlockDownloader(void* owner);
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

  void* m_pUserData = nullptr;
  int m_nBlocks = 4;
  unsigned char m_bResume = 0;
  std::string m_strURL;
  std::string m_strFileName;
  JobCallback OnSuccess = nullptr;
  JobCallback OnFailure = nullptr;
  ContentLengthCallback OnContentLength = nullptr;
  ProgressCallback OnProgress = nullptr;
  MessageCallback OnMessage = nullptr;
  // Asked of the joined file before the rename; a refused file is removed
  // with the block files and the job fails with the check's text.
  FileCheck CheckFinished = nullptr;

  // At most m_nBlocks threads; a thread that finishes its block goes on
  // with another (a block left from an earlier run, or a split-off range).
  std::vector<std::thread> m_pThreads;
  // By block number; splits add to the end.
  std::vector<CHttpSocket*> m_pBlocks;
  std::vector<std::string> m_pstrTempFiles;
  std::vector<unsigned char> m_pbDone;
  unsigned char m_bPrepared = 0;
  FILE* m_fileTarget = nullptr;
  FILE* m_fileBlock = nullptr;

  // Internal steps, public so tests can reach them.
  void Prepare();
  void AllocateBlocks();
  CHttpSocket* CreateBlock();
  void OnBlockDone(int index);
  void MergeBlocks();
  void OnBlockFailed();

 private:
  // Block connections are shared between the job and the block thread that
  // runs them: whoever lets go last closes and deletes the connection, so a
  // thread that stopped its own job never runs on a released object.
  using BlockPtr = std::shared_ptr<CHttpSocket>;
  // The deleter of a block connection: closes it with its callbacks cleared.
  static void ReleaseBlock(CHttpSocket* s);

  static void BlockContentLength(void* job, int length);
  static void BlockProgress(void* job, int received, int blockLength, int index);
  static void BlockMessage(void* job, const std::string& text, int index);
  static void BlockSuccess(void* job, int index);
  static void BlockFailure(void* job, int index);
  static void BlockThread(BlockPtr block, CBlockDownloader* job);

  // Under m_lock: marks `done` finished and finds the finishing thread its
  // next block, splitting a slow one when that pays.
  // `donor` is the finished block's connection, passed on when it may
  // carry another request.
  BlockPtr NextWork(int done, CHttpSocket* donor);
  BlockPtr SplitOff(long long ownSpeed, CHttpSocket* donor);
  void Grow(size_t blocks);
  // A thread with nothing to fetch stays (without a connection) while
  // other blocks run, in case one of them turns out slow; none when the
  // job stops or every block is done or taken.
  BlockPtr WaitForWork(CHttpSocket* donor);
  // Under m_lock: brings the plan's counts and speeds up to date.
  void Observe(long long nowMs);
  // Called now and then from a flowing block: counts, speeds, stalls.
  void Watch(long long nowMs);
  // 0, or the errno of the failed write.
  int WriteSidecar();

  void Report(const std::string& text);
  bool OnOwnBlockThread() const;
  // stored: the record an earlier run left, when it may be continued.
  void PlanBlocks(const BlockPtr& first, const std::string& url, int length, bool ranged,
                  const std::optional<CSidecar>& stored);
  void DiscardStaleBlocks(const std::vector<int>& keep);
  // Ends the job on a cause here that no link can cure (a full disk, a
  // missing permission, a download folder that is gone): the text (by
  // default the one of err), then OnFailure; the block files stay.
  void FailLocally(int err, const std::string& text = {});
  void NoteLocalError(int err, const std::string& text);
  // Why the merged file cannot be made or take the song's name (GBK).
  static std::string PlacingFailureText(int err, const std::string& target);
  static void RunMergeEndHook(CBlockDownloader& job);
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
  void CloseMergeFiles();

  // m_lock guards m_pThreads, m_pBlocks, m_pstrTempFiles, m_owned,
  // m_orphans, m_plan with the strings after it and the flags below it. It is
  // never held while joining a thread or calling out; HttpGetThreadMutex()
  // may be taken inside it, never the other way round. m_pbDone belongs to
  // HttpGetThreadMutex().
  std::mutex m_lock;
  std::condition_variable m_idle;  // a Start or a Stop has ended
  std::condition_variable m_work;  // the job stops: idle threads leave
  std::vector<BlockPtr> m_owned;   // element i owns m_pBlocks[i]
  // Threads that ran a Stop of their own: they are still on their way out
  // and are joined by the next Stop from another thread, or detached when
  // the job is destroyed on them.
  std::vector<std::thread> m_orphans;
  CBlockPlan m_plan;
  std::string m_strBlockURL;   // the redirect target every block asks
  CSidecar m_sidecar;          // what the block files are, as last written
  bool m_bSplittable = false;  // ranges honoured: blocks may be split
  std::atomic<long long> m_nNextWatchMs{0};
  int m_nWarmWaiting = 0;  // idle threads that still hold a live connection
  // Set by every Stop and cleared by Start; read without the lock by the
  // block callbacks so texts stop once the job is stopped.
  std::atomic<bool> m_bStopped{false};
  bool m_bFinished = false;    // OnSuccess or OnFailure has been decided
  bool m_bStopActive = false;  // a Stop is joining threads
  bool m_bStarting = false;    // Start is preparing or creating threads
  std::thread::id m_startThread;
  // errno of the local cause (full disk, no permission) that ended the job;
  // 0 when it was not one. Set before OnFailure.
  std::atomic<int> m_nLocalError{0};
  std::atomic<int> m_nAnswerMs{-1};
  std::string m_strLocalError;  // its text when not the one of the errno; under m_lock
  // Held from Prepare until the job lets go of its block files: another
  // process downloading a file of the same name waits for it.
  CTargetLock m_targetLock;
};

// The named mutex "http-get-thread-mutex": one for every job in the process.
std::mutex& HttpGetThreadMutex();
