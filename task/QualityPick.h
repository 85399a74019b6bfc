#pragma once
// The pick when quality comes first: among the links that answered no
// slower than kSlowFactor times the fastest usable one, the highest
// bitrate; a tie goes to the faster, and an unknown bitrate ranks below
// every known one.
struct QualityPick {
  static constexpr int kSlowFactor = 4;
  // times[i] < 0: not usable. kbps[i] <= 0: unknown. Returns an index, or
  // -1 when no link is usable.
  static int Choose(const int* times, const int* kbps, int count, int unusableMs);
};
