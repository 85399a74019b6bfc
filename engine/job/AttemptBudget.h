#pragma once
// How long a block goes on asking. An attempt that moved the block on by a
// fair share costs nothing, so a host that pauses now and then while its
// bytes keep coming is never given up on; only attempts in a row that
// brought next to nothing use the budget up. Waits a busy host asks for
// are meant to be counted here as well.
class CAttemptBudget {
 public:
  static constexpr int kBarrenInARow = 3;
  static constexpr long long kFairShare = 64 * 1024;

  explicit CAttemptBudget(int barrenLimit = kBarrenInARow);

  // What an attempt must add to a block of `blockLength` bytes (-1 when
  // unknown) to count as progress: 64 KiB, or 1 % of the block when that
  // is less, and at least one byte.
  static long long Threshold(long long blockLength);

  // An attempt has ended having added `added` bytes to the block.
  void EndAttempt(long long added, long long blockLength);
  // Another attempt may be made.
  bool Left() const { return m_nBarren < m_nLimit; }
  // Attempts in a row, up to the last one, that added too little.
  int Barren() const { return m_nBarren; }

 private:
  int m_nLimit;
  int m_nBarren = 0;
};
