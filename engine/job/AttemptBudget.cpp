#include "engine/job/AttemptBudget.h"

#include <algorithm>

CAttemptBudget::CAttemptBudget(int barrenLimit) : m_nLimit(std::max(barrenLimit, 1)) {}

long long CAttemptBudget::Threshold(long long blockLength) {
  if (blockLength < 0) return kFairShare;
  return std::clamp<long long>(blockLength / 100, 1, kFairShare);
}

void CAttemptBudget::EndAttempt(long long added, long long blockLength) {
  if (added >= Threshold(blockLength))
    m_nBarren = 0;
  else
    ++m_nBarren;
}
