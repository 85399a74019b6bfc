#pragma once
// Which byte ranges a job's block files cover, how fast each is filling and
// when a range is split so that a free connection helps a slow one. Plain
// data and arithmetic: the job holds the lock and talks to the sockets.
#include <optional>
#include <string>
#include <vector>

struct PlanRange {
  int m_nBlock = 0;
  long long m_nFirst = 0;
  long long m_nLast = -1;  // inclusive
};

struct PlanBlock {
  int m_nBlock = 0;
  long long m_nFirst = 0;
  long long m_nLast = -1;        // inclusive; only ever moves down
  long long m_nBytes = 0;        // of the range, received so far
  bool m_bStarted = false;       // a thread has taken it
  bool m_bDone = false;
  long long m_nSampleMs = -1;    // start of the current speed window
  long long m_nSampleBytes = 0;
  long long m_nSpeed = -1;       // bytes a second; -1 until measured
  long long m_nStartMs = -1;     // when a thread took it
  long long m_nStartBytes = 0;   // what its file held then
  // Speed counts from the first body byte of the current reply: a host slow
  // to answer is not a slow connection.
  long long m_nFlowMs = -1;      // that byte's tick; -1 while waiting for it
  long long m_nFlowBytes = 0;    // what the block held when it came
  int m_nWindows = 0;            // speed windows measured since
  bool m_bSplitOff = false;      // made by a split
  std::string m_strText;

  long long Length() const { return m_nLast - m_nFirst + 1; }
  long long Left() const { return Length() - m_nBytes; }
};

struct PlanSplit {
  int m_nVictim = 0;      // block number whose end moves down
  long long m_nCut = 0;   // first byte of the new block
  bool m_bTakeOver = false;  // the whole remainder moves: the victim stops now
  long long m_nVictimMs = 0;  // how long the victim was expected to need
};

class CBlockPlan {
 public:
  // Neither part of a split may be smaller: below this a new connection
  // costs more than it brings.
  static constexpr long long kMinPart = 256 * 1024;

  void FixedSplit(long long length, int blocks);
  // Ranges from an earlier run; false (and nothing changed) unless they
  // cover 0..length-1 exactly once with distinct numbers.
  bool SetRanges(long long length, std::vector<PlanRange> ranges);

  std::vector<PlanBlock>& Blocks() { return m_blocks; }
  const std::vector<PlanBlock>& Blocks() const { return m_blocks; }
  PlanBlock* Find(int block);
  long long FileLength() const { return m_nLength; }
  int NextNumber() const;
  // Blocks in file order, for the merge.
  std::vector<PlanRange> Ranges() const;

  // Feeds a block's received count at time now and keeps its speed over
  // windows of at least kWindowMs.
  void Observe(int block, long long bytes, long long nowMs);
  // Feeds a block whose current request was sent at askedMs and got its
  // first body byte at firstByteMs (-1: not yet). Until that byte only the
  // count moves; with it the speed windows start again and the wait counts
  // towards what a new request costs.
  void Flow(int block, long long bytes, long long askedMs, long long firstByteMs, long long nowMs);
  // What a new request has cost before its first body byte, as measured;
  // 0 before any.
  long long FirstByteCostMs() const { return m_nFirstByteCostMs; }
  // Forgets a block's speed window (it has no connection at the moment).
  void Idle(int block);
  // A thread takes the block / has finished it. A block that ends between
  // two speed windows still tells what its connection could do.
  void Start(int block, long long nowMs);
  // Returns the speed the block's connection showed over its whole run.
  long long Finish(int block, long long nowMs);

  // Where a thread that has just finished block `finished` should help, if
  // anywhere: the far half of the remainder with the longest expected time
  // left (on a host slow to answer, the far part the helper brings in the
  // time the victim needs for the rest), or the whole of a remainder too
  // small to halve whose connection would need far longer than a fresh one. `finishedSpeed` is the helper's
  // own recent speed (-1 unknown). A block is only taken over, and a block
  // made by a split only split again, once it has flowed for kSettleWindows
  // speed windows; a split must pay for a new request's first-byte cost.
  std::optional<PlanSplit> ChooseSplit(long long finishedSpeed) const;
  // Moves the victim's end below `cut` and adds the new block [cut, old
  // end]; returns its number.
  int ApplySplit(int victim, long long cut);

  static constexpr long long kWindowMs = 300;
  static constexpr int kSettleWindows = 2;
  // A host whose replies take this long to start is slow to answer: there
  // a split is cut where victim and helper end together, not in half.
  static constexpr long long kSlowAnswerMs = 1000;

 private:
  long long ExpectedMs(const PlanBlock& b, long long fallbackSpeed) const;
  // Blocks but `except` that flow and are due to end within a speed window.
  long long EndingSoon(const PlanBlock& except, long long fallbackSpeed) const;
  std::optional<PlanSplit> SplitForSlowAnswer(const PlanBlock& victim, long long victimMs, long long best,
                                              long long costMs) const;

  std::vector<PlanBlock> m_blocks;  // by block number
  long long m_nLength = 0;
  long long m_nBestSpeed = 0;
  long long m_nFirstByteCostMs = 0;
};
