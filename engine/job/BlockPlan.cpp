#include "engine/job/BlockPlan.h"

#include <algorithm>
#include <climits>
#include <set>

namespace {

// What a new connection costs before its first byte, in the estimate of
// whether a fresh one beats a slow one on a small remainder.
constexpr long long kConnectMs = 250;
constexpr long long kForever = LLONG_MAX / 4;

}  // namespace

void CBlockPlan::FixedSplit(long long length, int blocks) {
  m_blocks.clear();
  m_nLength = length;
  if (blocks < 1 || length <= 0) return;
  const long long q = length / blocks;
  for (int i = 0; i < blocks; ++i) {
    PlanBlock b;
    b.m_nBlock = i;
    b.m_nFirst = i * q;
    b.m_nLast = i == blocks - 1 ? length - 1 : (i + 1) * q - 1;
    m_blocks.push_back(b);
  }
}

bool CBlockPlan::SetRanges(long long length, std::vector<PlanRange> ranges) {
  if (length <= 0 || ranges.empty()) return false;
  std::set<int> numbers;
  for (const auto& r : ranges)
    if (r.m_nBlock < 0 || r.m_nFirst > r.m_nLast || !numbers.insert(r.m_nBlock).second) return false;
  std::sort(ranges.begin(), ranges.end(),
            [](const PlanRange& a, const PlanRange& b) { return a.m_nFirst < b.m_nFirst; });
  long long next = 0;
  for (const auto& r : ranges) {
    if (r.m_nFirst != next) return false;
    next = r.m_nLast + 1;
  }
  if (next != length) return false;
  std::sort(ranges.begin(), ranges.end(),
            [](const PlanRange& a, const PlanRange& b) { return a.m_nBlock < b.m_nBlock; });
  m_blocks.clear();
  m_nLength = length;
  for (const auto& r : ranges) {
    PlanBlock b;
    b.m_nBlock = r.m_nBlock;
    b.m_nFirst = r.m_nFirst;
    b.m_nLast = r.m_nLast;
    m_blocks.push_back(b);
  }
  return true;
}

PlanBlock* CBlockPlan::Find(int block) {
  for (auto& b : m_blocks)
    if (b.m_nBlock == block) return &b;
  return nullptr;
}

int CBlockPlan::NextNumber() const {
  int n = 0;
  for (const auto& b : m_blocks) n = std::max(n, b.m_nBlock + 1);
  return n;
}

std::vector<PlanRange> CBlockPlan::Ranges() const {
  std::vector<PlanRange> out;
  for (const auto& b : m_blocks) out.push_back({b.m_nBlock, b.m_nFirst, b.m_nLast});
  std::sort(out.begin(), out.end(),
            [](const PlanRange& a, const PlanRange& b) { return a.m_nFirst < b.m_nFirst; });
  return out;
}

void CBlockPlan::Observe(int block, long long bytes, long long nowMs) {
  PlanBlock* b = Find(block);
  if (!b) return;
  b->m_nBytes = bytes;
  if (b->m_nSampleMs < 0 || bytes < b->m_nSampleBytes) {
    b->m_nSampleMs = nowMs;
    b->m_nSampleBytes = bytes;
    return;
  }
  const long long dt = nowMs - b->m_nSampleMs;
  if (dt < kWindowMs) return;
  ++b->m_nWindows;
  const long long now = (bytes - b->m_nSampleBytes) * 1000 / dt;
  // Half the weight on the window just ended: quick to see a connection
  // slow down, calm enough not to chase every burst.
  b->m_nSpeed = b->m_nSpeed < 0 ? now : (b->m_nSpeed + now) / 2;
  m_nBestSpeed = std::max(m_nBestSpeed, b->m_nSpeed);
  b->m_nSampleMs = nowMs;
  b->m_nSampleBytes = bytes;
}

void CBlockPlan::Flow(int block, long long bytes, long long askedMs, long long firstByteMs, long long nowMs) {
  PlanBlock* b = Find(block);
  if (!b) return;
  if (firstByteMs < 0) {
    // Waiting for a reply: nothing to measure a speed by.
    b->m_nBytes = bytes;
    b->m_nFlowMs = -1;
    b->m_nWindows = 0;
    b->m_nSampleMs = -1;
    return;
  }
  if (b->m_nFlowMs != firstByteMs) {
    b->m_nFlowMs = firstByteMs;
    b->m_nFlowBytes = bytes;
    b->m_nWindows = 0;
    b->m_nSampleMs = -1;
    if (askedMs >= 0 && firstByteMs >= askedMs) {
      const long long cost = firstByteMs - askedMs;
      m_nFirstByteCostMs = m_nFirstByteCostMs > 0 ? (m_nFirstByteCostMs + cost) / 2 : cost;
    }
  }
  Observe(block, bytes, nowMs);
}

void CBlockPlan::Idle(int block) {
  if (PlanBlock* b = Find(block)) {
    b->m_nSampleMs = -1;
    b->m_nSpeed = -1;
    b->m_nFlowMs = -1;
    b->m_nWindows = 0;
  }
}

void CBlockPlan::Start(int block, long long nowMs) {
  if (PlanBlock* b = Find(block)) {
    b->m_bStarted = true;
    b->m_nStartMs = nowMs;
    b->m_nStartBytes = b->m_nBytes;
  }
}

long long CBlockPlan::Finish(int block, long long nowMs) {
  PlanBlock* b = Find(block);
  if (!b) return -1;
  long long speed = b->m_nSpeed;
  // From the first body byte when it was seen: the wait for the reply is
  // the host's, not the connection's.
  const bool flowed = b->m_nFlowMs >= 0;
  const long long fetched = b->Length() - (flowed ? b->m_nFlowBytes : b->m_nStartBytes);
  const long long since = flowed ? b->m_nFlowMs : b->m_nStartMs;
  if (since >= 0 && fetched > 0) {
    const long long whole = fetched * 1000 / std::max<long long>(nowMs - since, 1);
    if (speed < 0) speed = whole;
    m_nBestSpeed = std::max(m_nBestSpeed, whole);
  }
  b->m_bDone = true;
  b->m_nBytes = b->Length();
  Idle(block);
  return speed;
}

long long CBlockPlan::ExpectedMs(const PlanBlock& b, long long fallbackSpeed) const {
  const long long speed = b.m_nSpeed >= 0 ? b.m_nSpeed : fallbackSpeed;
  if (speed == 0) return kForever;
  if (speed < 0) return b.Left() / 1024;  // nothing measured anywhere: bigger is longer
  return b.Left() * 1000 / speed;
}

std::optional<PlanSplit> CBlockPlan::ChooseSplit(long long finishedSpeed) const {
  // A block not yet measured is taken to run like the others on average.
  // What a fresh connection may do: the best any connection of this job
  // has done, finished ones included.
  long long sum = 0, count = 0, best = std::max<long long>(finishedSpeed, m_nBestSpeed);
  for (const auto& b : m_blocks) {
    if (!b.m_bStarted || b.m_bDone || b.m_nSpeed <= 0) continue;
    sum += b.m_nSpeed;
    ++count;
    best = std::max(best, b.m_nSpeed);
  }
  const long long fallback = count ? sum / count : (finishedSpeed > 0 ? finishedSpeed : -1);

  const PlanBlock* victim = nullptr;
  long long victimMs = -1;
  for (const auto& b : m_blocks) {
    if (!b.m_bStarted || b.m_bDone || b.Left() <= 0) continue;
    // Just made by a split: let it show what its connection does first.
    if (b.m_bSplitOff && b.m_nWindows < kSettleWindows) continue;
    const long long ms = ExpectedMs(b, fallback);
    if (!victim || ms > victimMs || (ms == victimMs && b.Left() > victim->Left())) {
      victim = &b;
      victimMs = ms;
    }
  }
  if (!victim) return std::nullopt;
  const long long left = victim->Left();
  const long long from = victim->m_nFirst + victim->m_nBytes;
  // A connection far slower than a fresh one would keep even half of its
  // remainder for longer than the fresh one needs for all of it: the whole
  // remainder moves, and the victim keeps what it has, however little (it
  // needs no new connection). Only for a speed measured on the victim.
  // A new request waits for its first byte as long as the others did.
  const long long cost = std::max(kConnectMs, m_nFirstByteCostMs);
  if (m_nFirstByteCostMs >= kSlowAnswerMs && victim->m_nSpeed > 0 && best > 0 && left >= kMinPart)
    return SplitForSlowAnswer(*victim, victimMs, best, cost);
  if (victim->m_nSpeed >= 0 && left >= kMinPart && victim->m_nBytes > 0 && best > 0 &&
      victim->m_nWindows >= kSettleWindows) {
    const long long freshMs = left * 1000 / best + cost;
    if (victimMs > 2 * freshMs) {
      // Other connections about to be free share the remainder with this
      // one: it takes the far part of its share, and the victim, which can
      // be cut again at once (a split-off block cannot), keeps the rest for
      // them. Taking it all would leave them idle until it has settled.
      const long long helpers = 1 + EndingSoon(*victim, fallback);
      if (helpers > 1 && left / helpers >= kMinPart)
        return PlanSplit{victim->m_nBlock, from + left - left / helpers, false, victimMs};
      return PlanSplit{victim->m_nBlock, from, true, victimMs};
    }
  }
  if (left < 2 * kMinPart) return std::nullopt;
  // The far half must arrive sooner than the victim would bring it.
  if (best > 0 && victimMs < kForever && m_nFirstByteCostMs + (left / 2) * 1000 / best >= victimMs)
    return std::nullopt;
  return PlanSplit{victim->m_nBlock, from + left / 2, false, victimMs};
}

long long CBlockPlan::EndingSoon(const PlanBlock& except, long long fallbackSpeed) const {
  long long n = 0;
  for (const auto& b : m_blocks)
    if (&b != &except && b.m_bStarted && !b.m_bDone && b.m_nSpeed > 0 && b.Left() > 0 &&
        ExpectedMs(b, fallbackSpeed) <= kWindowMs)
      ++n;
  return n;
}

std::optional<PlanSplit> CBlockPlan::SplitForSlowAnswer(const PlanBlock& victim, long long victimMs, long long best,
                                                        long long costMs) const {
  // The victim goes on while the helper's request waits for its reply: it
  // keeps what it brings in that wait plus its share of the rest by speed,
  // so both end together. Halves would leave a slow victim the longest part
  // of the job, and a fast one too little.
  const long long left = victim.Left();
  const long long from = victim.m_nFirst + victim.m_nBytes;
  const double vs = static_cast<double>(victim.m_nSpeed);
  const double fs = static_cast<double>(best);
  const auto keep = static_cast<long long>((static_cast<double>(costMs) / 1000.0 * fs + static_cast<double>(left)) *
                                           vs / (vs + fs));
  // Next to nothing before the helper's bytes come: the whole remainder
  // moves, once the victim's speed has settled.
  if (keep < kMinPart && victim.m_nBytes > 0 && victim.m_nWindows >= kSettleWindows)
    return PlanSplit{victim.m_nBlock, from, true, victimMs};
  const long long kept = std::max(keep, kMinPart);
  if (left - kept < kMinPart) return std::nullopt;
  // The far part must arrive sooner than the victim would bring it.
  if (costMs + (left - kept) * 1000 / best >= victimMs) return std::nullopt;
  return PlanSplit{victim.m_nBlock, from + kept, false, victimMs};
}

int CBlockPlan::ApplySplit(int victim, long long cut) {
  PlanBlock* v = Find(victim);
  if (!v || cut <= v->m_nFirst || cut > v->m_nLast) return -1;
  PlanBlock b;
  b.m_nBlock = NextNumber();
  b.m_bSplitOff = true;
  b.m_nFirst = cut;
  b.m_nLast = v->m_nLast;
  v->m_nLast = cut - 1;
  m_blocks.push_back(b);
  return b.m_nBlock;
}
