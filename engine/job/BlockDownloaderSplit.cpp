// The part of the job that keeps every connection busy until the end: a
// thread whose block is done takes over part of the block that would
// otherwise finish last, and a connection that went quiet is dropped.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "engine/job/BlockDownloader.h"
#include "engine/Common.h"
#include "engine/http/Url.h"
#include "engine/http/HostLimiter.h"

namespace {

// How long a connection may send nothing while others flow before it is
// dropped and asked again (GetTimeOut when that is shorter).
constexpr long long kStallMs = 3000;
// A split that needs a new connection must save at least this long.
constexpr long long kColdHelpMs = 2000;
// How often a thread without a block looks for one to help.
constexpr auto kLingerStep = std::chrono::milliseconds(100);

}  // namespace

void CBlockDownloader::Observe(long long nowMs) {
  for (auto& b : m_plan.Blocks()) {
    if (!b.m_bStarted || b.m_bDone) continue;
    CHttpSocket* s = m_pBlocks[static_cast<size_t>(b.m_nBlock)];
    const int got = s ? s->Received() : -1;
    if (got >= 0) m_plan.Flow(b.m_nBlock, got, s->AskedMs(), s->FirstByteMs(), nowMs);
  }
}

CBlockDownloader::BlockPtr CBlockDownloader::NextWork(int done, CHttpSocket* donor) {
  const long long now = GetTickMs();
  const long long ownSpeed = m_plan.Finish(done, now);
  if (static_cast<size_t>(done) < m_owned.size()) {
    // The thread holds its own reference until it lets go.
    m_owned[static_cast<size_t>(done)] = nullptr;
    m_pBlocks[static_cast<size_t>(done)] = nullptr;
  }
  // A block an earlier run left and nobody has taken yet comes first.
  for (auto& b : m_plan.Blocks()) {
    if (b.m_bStarted || b.m_bDone) continue;
    m_plan.Start(b.m_nBlock, now);
    BlockPtr s = m_owned[static_cast<size_t>(b.m_nBlock)];
    if (donor && s) s->AdoptConnection(*donor);
    return s;
  }
  if (!m_bSplittable) return nullptr;
  // A thread whose connection is gone would open a new one of unknown
  // speed; one that kept its connection knows what it gets.
  const bool warm = donor && donor->m_bConnected;
  if (!warm && m_nWarmWaiting > 0) return nullptr;
  Observe(now);
  return SplitOff(ownSpeed, donor);
}

CBlockDownloader::BlockPtr CBlockDownloader::SplitOff(long long ownSpeed, CHttpSocket* donor) {
  const std::optional<PlanSplit> split = m_plan.ChooseSplit(ownSpeed);
  if (!split) return nullptr;
  // A new connection may turn out slow itself and then hold its part for
  // long: only worth it when the wait it saves is longer still.
  const bool cold = !(donor && donor->m_bConnected);
  if (cold && split->m_nVictimMs < kColdHelpMs + m_plan.FirstByteCostMs()) return nullptr;
  // Nor when the host has no room for another connection now.
  HostLimiter::Permit permit;
  UrlParts parts;
  if (cold && SplitWebUrl(m_strBlockURL, parts) &&
      !HostLimiter::Instance().TryAcquire(HostLimiter::KeyFor(parts), this, permit))
    return nullptr;
  PlanBlock* victim = m_plan.Find(split->m_nVictim);
  CHttpSocket* v = m_pBlocks[static_cast<size_t>(split->m_nVictim)];
  if (!victim || !v) return nullptr;
  // The victim's connection decides the exact point: it may have moved on
  // since it was last looked at, and it never writes past a moved end.
  const int kept = v->CutTo(static_cast<int>(split->m_nCut - victim->m_nFirst));
  if (kept <= 0) return nullptr;
  if (split->m_bTakeOver) v->Kick();  // it may be stuck in a receive
  const int number = m_plan.ApplySplit(split->m_nVictim, victim->m_nFirst + kept);
  if (number < 0) return nullptr;
  Grow(static_cast<size_t>(number) + 1);
  const std::string& file = m_pstrTempFiles[static_cast<size_t>(number)];
  unlink(file.c_str());  // whatever an older run left under this number
  // On disk before the new block asks for a byte: a restart then finds
  // every block file's range.
  WriteSidecar();

  const PlanBlock& b = *m_plan.Find(number);
  BlockPtr s(CreateBlock(), ReleaseBlock);
  s->SetURL(m_strBlockURL);
  s->SetBare(m_strBlockURL != m_strURL);
  s->SetTempFile(file);
  s->m_nIndex = number;
  s->m_nStart = static_cast<int>(b.m_nFirst);
  s->m_nLength = static_cast<int>(b.Length());
  s->m_nFileLength = v->m_nFileLength;
  s->m_bResume = v->m_bResume;
  s->m_bRanged = true;  // only ranged files are split
  m_plan.Start(number, GetTickMs());
  PlanBlock& mine = *m_plan.Find(number);
  if (donor) {
    // The same connection goes on, and with it the speed it has shown.
    s->AdoptConnection(*donor);
    if (s->m_bConnected) mine.m_nSpeed = ownSpeed;
  }
  s->GivePermit(std::move(permit));
  m_owned[static_cast<size_t>(number)] = s;
  m_pBlocks[static_cast<size_t>(number)] = s.get();
  return s;
}

CBlockDownloader::BlockPtr CBlockDownloader::WaitForWork(CHttpSocket* donor) {
  std::unique_lock<std::mutex> lk(m_lock);
  bool warm = donor && donor->m_bConnected;
  if (warm) ++m_nWarmWaiting;
  BlockPtr found;
  while (!found && !m_bStopped && !m_bFinished && m_bSplittable) {
    const auto& blocks = m_plan.Blocks();
    if (std::none_of(blocks.begin(), blocks.end(), [](const PlanBlock& b) { return !b.m_bDone; })) break;
    if (warm && donor->HostWanted()) {
      // A block of ours or another task waits for the host's room: an idle
      // connection must not hold it (on a host of one it is the only one).
      lk.unlock();
      donor->Close();
      lk.lock();
      warm = false;
      --m_nWarmWaiting;
      continue;
    }
    m_work.wait_for(lk, kLingerStep);
    if (m_bStopped || m_bFinished) break;
    if (!warm && m_nWarmWaiting > 0) continue;  // they go first
    Observe(GetTickMs());
    found = SplitOff(-1, donor);
  }
  if (warm) --m_nWarmWaiting;
  return found;
}

void CBlockDownloader::Watch(long long nowMs) {
  std::lock_guard<std::mutex> lk(m_lock);
  if (m_bStopped) return;
  Observe(nowMs);
  // The caller has just received a byte, so others do flow: a connection
  // that has sent nothing for this long is asked again on a fresh one.
  const int timeout = GetTimeOut.load();
  long long stall = kStallMs;
  if (timeout > 0) stall = std::min<long long>(stall, timeout * 1000LL);
  for (const auto& b : m_plan.Blocks()) {
    if (!b.m_bStarted || b.m_bDone) continue;
    CHttpSocket* s = m_pBlocks[static_cast<size_t>(b.m_nBlock)];
    // A request still waiting for its reply may take as long as replies
    // have taken here before it counts as gone quiet.
    const long long allowed = stall + (s && s->FirstByteMs() < 0 ? m_plan.FirstByteCostMs() : 0);
    if (s && s->Received() >= 0 && nowMs - s->ActivityMs() >= allowed) {
      s->Kick();
      m_plan.Idle(b.m_nBlock);
    }
  }
}

std::vector<BlockSnapshot> CBlockDownloader::GetBlockSnapshot() {
  std::lock_guard<std::mutex> lk(m_lock);
  if (m_plan.Blocks().empty()) return {};
  Observe(GetTickMs());
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
