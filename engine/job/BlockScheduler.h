#pragma once
// Which block a job's free thread fetches next: a block an earlier run
// left, or part of a slow one split off; and which connection has gone
// quiet while others flow. Decisions over the job's CBlockPlan and what
// the connections say of themselves; no threads, no locks: the job holds
// its lock around every call.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/job/BlockPlan.h"
#include "engine/job/BlockSnapshot.h"

// The block connections as the scheduler sees them, by block number.
class IBlockFlows {
 public:
  // Bytes the block's file holds; -1 while no connection serves it.
  virtual int Received(int block) const = 0;
  // When the current request was sent and its first body byte came (-1:
  // not yet), and when the connection last did anything.
  virtual long long AskedMs(int block) const = 0;
  virtual long long FirstByteMs(int block) const = 0;
  virtual long long ActivityMs(int block) const = 0;
  // Ends the block after `length` bytes of its range unless it has written
  // past that already; returns the bytes it keeps (0 or less: no cut).
  virtual int CutTo(int block, int length) = 0;
  // Drops the current request so the block asks again (it may be stuck in
  // a receive).
  virtual void Kick(int block) = 0;

 protected:
  ~IBlockFlows() = default;
};

class CBlockScheduler {
 public:
  // How long a connection may send nothing while others flow before it is
  // asked again (the time-out setting when that is shorter).
  static constexpr long long kStallMs = 3000;
  // A split that needs a new connection must save at least this long.
  static constexpr long long kColdHelpMs = 2000;

  explicit CBlockScheduler(IBlockFlows& flows) : m_flows(flows) {}

  // A new run's plan; splittable when the host honours ranges.
  void Reset(CBlockPlan plan, bool splittable);
  CBlockPlan& Plan() { return m_plan; }
  const CBlockPlan& Plan() const { return m_plan; }
  bool Splittable() const { return m_bSplittable; }
  // True while some range is not yet in.
  bool Open() const;

  // Brings counts and speeds up to date from the connections.
  void Observe(long long nowMs);
  void Start(int block, long long nowMs) { m_plan.Start(block, nowMs); }
  // Block `done` is in; returns the speed its connection showed.
  long long Finish(int done, long long nowMs);
  // A block an earlier run left that no thread has taken yet, now taken.
  std::optional<int> TakeLeftover(long long nowMs);

  struct Split {
    int block = 0;   // the new block, already taken
    int victim = 0;  // the block it was cut from
  };
  // Cuts the far part of the block that would finish last off for a free
  // thread, when that pays. `ownSpeed` is what the thread's last block
  // showed (-1 unknown); `warm` when it still holds a live connection.
  // `room` is asked only when a new connection is needed; false stops the
  // split before anything is cut.
  std::optional<Split> SplitOff(long long ownSpeed, bool warm, long long nowMs,
                                const std::function<bool()>& room);
  // A split block that carries on its thread's connection shows that
  // connection's speed from the start.
  void CarrySpeed(int block, long long speed);
  // Threads that wait for work with a live connection go before those
  // that would need a new one.
  void WaitingWarm(int delta) { m_nWarmWaiting += delta; }

  // Called while some block flows: a connection silent for too long (a
  // request still waiting for its reply may take what replies have taken
  // here) is kicked and its speed forgotten. timeoutSeconds: the time-out
  // setting, 0 for none.
  void Watch(long long nowMs, int timeoutSeconds);

  void SetText(int block, const std::string& text);
  std::vector<BlockSnapshot> Snapshot(long long nowMs);

 private:
  IBlockFlows& m_flows;
  CBlockPlan m_plan;
  bool m_bSplittable = false;
  int m_nWarmWaiting = 0;
};
