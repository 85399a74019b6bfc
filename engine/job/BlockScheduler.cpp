#include "engine/job/BlockScheduler.h"

#include <algorithm>
#include <utility>

void CBlockScheduler::Reset(CBlockPlan plan, bool splittable) {
  m_plan = std::move(plan);
  m_bSplittable = splittable;
  m_nWarmWaiting = 0;
}

bool CBlockScheduler::Open() const {
  const auto& blocks = m_plan.Blocks();
  return std::any_of(blocks.begin(), blocks.end(), [](const PlanBlock& b) { return !b.m_bDone; });
}

void CBlockScheduler::Observe(long long nowMs) {
  for (auto& b : m_plan.Blocks()) {
    if (!b.m_bStarted || b.m_bDone) continue;
    const int got = m_flows.Received(b.m_nBlock);
    if (got >= 0)
      m_plan.Flow(b.m_nBlock, got, m_flows.AskedMs(b.m_nBlock), m_flows.FirstByteMs(b.m_nBlock), nowMs);
  }
}

long long CBlockScheduler::Finish(int done, long long nowMs) { return m_plan.Finish(done, nowMs); }

std::optional<int> CBlockScheduler::TakeLeftover(long long nowMs) {
  for (auto& b : m_plan.Blocks()) {
    if (b.m_bStarted || b.m_bDone) continue;
    m_plan.Start(b.m_nBlock, nowMs);
    return b.m_nBlock;
  }
  return std::nullopt;
}

std::optional<CBlockScheduler::Split> CBlockScheduler::SplitOff(long long ownSpeed, bool warm, long long nowMs,
                                                                const std::function<bool()>& room) {
  if (!m_bSplittable) return std::nullopt;
  // A thread whose connection is gone would open a new one of unknown
  // speed; one that kept its connection knows what it gets.
  if (!warm && m_nWarmWaiting > 0) return std::nullopt;
  Observe(nowMs);
  const std::optional<PlanSplit> split = m_plan.ChooseSplit(ownSpeed);
  if (!split) return std::nullopt;
  // A new connection may turn out slow itself and then hold its part for
  // long: only worth it when the wait it saves is longer still.
  if (!warm && split->m_nVictimMs < kColdHelpMs + m_plan.FirstByteCostMs()) return std::nullopt;
  // Nor when the host has no room for another connection now.
  if (!warm && room && !room()) return std::nullopt;
  const PlanBlock* victim = m_plan.Find(split->m_nVictim);
  if (!victim) return std::nullopt;
  // The victim's connection decides the exact point: it may have moved on
  // since it was last looked at, and it never writes past a moved end.
  const int kept = m_flows.CutTo(split->m_nVictim, static_cast<int>(split->m_nCut - victim->m_nFirst));
  if (kept <= 0) return std::nullopt;
  if (split->m_bTakeOver) m_flows.Kick(split->m_nVictim);  // it may be stuck in a receive
  const int number = m_plan.ApplySplit(split->m_nVictim, victim->m_nFirst + kept);
  if (number < 0) return std::nullopt;
  m_plan.Start(number, nowMs);
  return Split{number, split->m_nVictim};
}

void CBlockScheduler::CarrySpeed(int block, long long speed) {
  if (PlanBlock* b = m_plan.Find(block)) b->m_nSpeed = speed;
}

void CBlockScheduler::Watch(long long nowMs, int timeoutSeconds) {
  Observe(nowMs);
  long long stall = kStallMs;
  if (timeoutSeconds > 0) stall = std::min<long long>(stall, timeoutSeconds * 1000LL);
  for (const auto& b : m_plan.Blocks()) {
    if (!b.m_bStarted || b.m_bDone || m_flows.Received(b.m_nBlock) < 0) continue;
    // A request still waiting for its reply may take as long as replies
    // have taken here before it counts as gone quiet.
    const long long allowed = stall + (m_flows.FirstByteMs(b.m_nBlock) < 0 ? m_plan.FirstByteCostMs() : 0);
    if (nowMs - m_flows.ActivityMs(b.m_nBlock) >= allowed) {
      m_flows.Kick(b.m_nBlock);
      m_plan.Idle(b.m_nBlock);
    }
  }
}

void CBlockScheduler::SetText(int block, const std::string& text) {
  if (PlanBlock* b = m_plan.Find(block)) b->m_strText = text;
}

std::vector<BlockSnapshot> CBlockScheduler::Snapshot(long long nowMs) {
  if (m_plan.Blocks().empty()) return {};
  Observe(nowMs);
  std::vector<BlockSnapshot> out;
  for (const auto& b : m_plan.Blocks()) {
    BlockSnapshot r;
    r.m_nBlock = b.m_nBlock;
    r.m_nFirst = b.m_nFirst;
    r.m_nLast = b.m_nLast;
    r.m_nBytes = b.m_nBytes;
    if (b.m_bStarted && !b.m_bDone && b.m_nSpeed >= 0) r.m_nSpeed = b.m_nSpeed;
    r.m_strText = b.m_strText;
    out.push_back(r);
  }
  return out;
}
