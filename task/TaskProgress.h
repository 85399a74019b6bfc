#pragma once
// A download's progress as numbers: the bytes each block reported, the
// file's size, the speed clock, elapsed and remaining seconds. Texts are
// made from them only for showing and for the entry. Not locked: the task
// serialises every call (several block threads report at once).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What one report leaves to show.
struct ProgressFigures {
  int64_t m_nDone = 0;     // bytes of every block
  int64_t m_nPercent = 0;  // 0 while the size is unknown
  int m_nElapsed = 0;
  int m_nRemaining = 0;
  bool m_bMeasured = false;  // this report measured the speed
  int64_t m_nSpeed = 0;      // KB/s, when measured
};

// The same as the entry and the list show them (ASCII, so GBK as they are).
struct ProgressTexts {
  std::string m_strDone;       // "1,234KB"
  std::string m_strPercent;    // "25%"
  std::string m_strElapsed;    // "12m:5s"
  std::string m_strRemaining;  // "0m:0s"
  std::string m_strSpeed;      // "60KB/S"; empty when nothing was measured
};

class CTaskProgress {
 public:
  // Counters kept apart for the first blocks; later numbers (split-off
  // blocks) count the same but live in MoreBlockBytes.
  static constexpr int kCounters = 5;
  // Far beyond any split a job makes; keeps a stray index from growing
  // the counters without bound.
  static constexpr int kMaxBlockNumber = 1 << 16;

  // A job starts: counters and speed clock back to zero, elapsed seconds
  // carried over. Size and remaining keep their values until it reports.
  void StartJob(int elapsedSeconds);
  void SetFileSize(int bytes) { m_nFileSize = bytes; }
  // Block index has received bytes so far. tick is the millisecond clock
  // (never 0); it is read once for the measurement and again to restart
  // the window. False, and nothing changes, for an index no job uses.
  bool Report(int index, int received, const std::function<uint32_t()>& tick, ProgressFigures& out);

  int FileSize() const { return m_nFileSize; }
  int BlockBytes(int index) const;  // 0 for an index never reported
  std::vector<int> MoreBlockBytes() const { return m_more; }
  uint32_t LastTick() const { return m_nLastTick; }
  int Elapsed() const { return m_nElapsed; }
  int Remaining() const { return m_nRemaining; }
  int64_t LastBytes() const { return m_nLastBytes; }

  static ProgressTexts Texts(const ProgressFigures& f);
  // "3,456KB" for 3,539,967 bytes: whole kilobytes.
  static std::string KiloBytesText(long long bytes);
  // The seconds of an elapsed text as FormatMinutesSeconds writes it
  // ("12m:5s" -> 725); 0 for an empty text, saturating at INT_MAX.
  static int ParseMinutesSeconds(const std::string& text);

 private:
  int m_nFileSize = 0;
  int m_nBlockBytes[kCounters] = {};
  std::vector<int> m_more;  // blocks kCounters and up
  uint32_t m_nLastTick = 0;  // 0: this job has not measured yet
  int m_nElapsed = 0;
  int m_nRemaining = 0;
  int64_t m_nLastBytes = 0;
};
