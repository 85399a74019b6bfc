#pragma once
// A running job's blocks: their connections and files (CBlockTable), the
// plan and what a free thread does next (CBlockScheduler), which blocks
// are in, and the record of their ranges on disk (CSidecar). Every call
// runs under the job's lock; the done flags are also guarded by
// HttpGetThreadMutex(), taken inside it.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "engine/job/BlockMerger.h"
#include "engine/job/BlockScheduler.h"
#include "engine/job/BlockTable.h"
#include "engine/job/Sidecar.h"

class CJobBlocks {
 public:
  using BlockPtr = CBlockTable::BlockPtr;
  // `make` creates a block connection wired to the job; `owner` is the job
  // as the host limiter counts it.
  CJobBlocks(std::function<CHttpSocket*()> make, const void* owner)
      : m_make(std::move(make)), m_owner(owner) {}

  // Before the plan: n empty places named after the target's block files,
  // none of them in.
  void Allocate(const std::string& target, size_t n);
  // The first request's connection waits in the last place, where a Stop
  // reaches it.
  void Park(BlockPtr first);
  // A run's plan takes over the places: conns[i] serves plan block i, all
  // asking `url` (bare when it is not the job's own `jobUrl`). Returns 0,
  // or the errno of the record's first write.
  int Install(CBlockPlan plan, bool ranged, const std::vector<BlockPtr>& conns, const std::string& url,
              const std::string& jobUrl, CSidecar facts, bool resume);

  BlockPtr Get(int block) const { return m_table.Get(block); }
  CHttpSocket* Raw(int block) const { return m_table.Raw(block); }
  const std::vector<std::string>& Files() const { return m_table.Files(); }
  CBlockScheduler& Scheduler() { return m_scheduler; }
  const CBlockPlan& Plan() const { return m_scheduler.Plan(); }

  // Block `done` is in: its place lets go, and the finishing thread gets
  // its next block (a leftover of an earlier run, or a split), if any.
  // `donor` is the finished block's connection, passed on when it may
  // carry another request.
  BlockPtr NextWork(int done, CHttpSocket* donor);
  // A thread without a block helps the one that would finish last.
  BlockPtr SplitOff(long long ownSpeed, CHttpSocket* donor);
  // A thread with nothing to fetch stays while other blocks run, in case
  // one of them turns out slow; none once `running` says the job ends, or
  // every block is done or taken. `lk` holds the job's lock; `wake` wakes
  // the wait when the job stops.
  BlockPtr WaitForWork(std::unique_lock<std::mutex>& lk, std::condition_variable& wake,
                       const std::function<bool()>& running, CHttpSocket* donor);
  // Counts block `index` in; false when it already was (or is unknown).
  // `last` tells whether every block is in now.
  bool CountIn(int index, bool& last);
  std::vector<unsigned char> DoneFlags() const;
  // A file of unknown length learns it from its one block; false when it
  // had a length already.
  bool LearnLength(int length);
  // The block files in file order, whatever their numbers, and the total.
  std::vector<CBlockMerger::Piece> Pieces(long long& total) const;

  void AbortAll() const { m_table.AbortAll(); }
  // A Stop: every connection handed over, the plan and the flags gone.
  std::vector<BlockPtr> Clear();

 private:
  // Places up to `blocks`; numbers no range uses count as in.
  void Grow(size_t blocks);
  void Aim(CHttpSocket& s, const PlanBlock& b, int fileLength, bool resume, bool ranged) const;
  int WriteSidecar();

  std::function<CHttpSocket*()> m_make;
  const void* m_owner;
  std::string m_strTarget;
  std::string m_strBlockURL;  // the redirect target every block asks
  bool m_bBare = false;       // it is not the job's own address
  CSidecar m_sidecar;         // what the block files are, as last written
  CBlockTable m_table;
  CBlockScheduler m_scheduler{m_table};
  std::vector<unsigned char> m_done;  // by block number; HttpGetThreadMutex()
};

// The named mutex "http-get-thread-mutex": one for every job in the process.
std::mutex& HttpGetThreadMutex();
