#include "task/QualityPick.h"

int QualityPick::Choose(const int* times, const int* kbps, int count, int unusableMs) {
  int fastest = -1;
  for (int i = 0; i < count; ++i)
    if (times[i] >= 0 && times[i] < unusableMs && (fastest < 0 || times[i] < times[fastest])) fastest = i;
  if (fastest < 0) return -1;
  // A time of 0 is below the clock's grain, not infinitely fast.
  const long long limit = static_cast<long long>(times[fastest] > 0 ? times[fastest] : 1) * kSlowFactor;
  int best = -1;
  for (int i = 0; i < count; ++i) {
    if (times[i] < 0 || times[i] >= unusableMs || times[i] > limit) continue;
    if (best < 0) {
      best = i;
      continue;
    }
    const int a = kbps[i] > 0 ? kbps[i] : 0, b = kbps[best] > 0 ? kbps[best] : 0;
    if (a > b || (a == b && times[i] < times[best])) best = i;
  }
  return best;
}
