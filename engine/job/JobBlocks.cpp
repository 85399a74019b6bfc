#include "engine/job/JobBlocks.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

#include "engine/job/BlockFileSet.h"
#include "engine/Common.h"
#include "engine/http/Url.h"
#include "engine/http/HostLimiter.h"

std::mutex& HttpGetThreadMutex() {
  static std::mutex m;
  return m;
}

void CJobBlocks::Allocate(const std::string& target, size_t n) {
  m_strTarget = target;
  m_table.Reset(CBlockFileSet(target), n);
  std::lock_guard<std::mutex> done(HttpGetThreadMutex());
  m_done.assign(n, 0);
}

void CJobBlocks::Park(BlockPtr first) {
  if (m_table.Size() > 0) m_table.Put(static_cast<int>(m_table.Size()) - 1, std::move(first));
}

int CJobBlocks::Install(CBlockPlan plan, bool ranged, const std::vector<BlockPtr>& conns, const std::string& url,
                        const std::string& jobUrl, CSidecar facts, bool resume) {
  m_scheduler.Reset(std::move(plan), ranged);
  m_strBlockURL = url;
  m_bBare = url != jobUrl;
  m_sidecar = std::move(facts);
  m_table.Reset(CBlockFileSet(m_strTarget), 0);
  {
    std::lock_guard<std::mutex> done(HttpGetThreadMutex());
    m_done.clear();
  }
  Grow(static_cast<size_t>(m_scheduler.Plan().NextNumber()));
  const int length = m_sidecar.m_nLength;
  for (size_t i = 0; i < conns.size() && i < m_scheduler.Plan().Blocks().size(); ++i) {
    const PlanBlock& b = m_scheduler.Plan().Blocks()[i];
    Aim(*conns[i], b, length > 0 ? length : 0, resume, ranged);
    m_table.Put(b.m_nBlock, conns[i]);
  }
  return WriteSidecar();
}

void CJobBlocks::Grow(size_t blocks) {
  const size_t old = m_table.Size();
  if (blocks <= old) return;
  m_table.Grow(CBlockFileSet(m_strTarget), blocks);
  std::lock_guard<std::mutex> done(HttpGetThreadMutex());
  m_done.resize(blocks, 1);
  for (const auto& b : m_scheduler.Plan().Blocks())
    if (static_cast<size_t>(b.m_nBlock) >= old && !b.m_bDone) m_done[static_cast<size_t>(b.m_nBlock)] = 0;
}

void CJobBlocks::Aim(CHttpSocket& s, const PlanBlock& b, int fileLength, bool resume, bool ranged) const {
  s.SetURL(m_strBlockURL);
  s.SetBare(m_bBare);
  s.SetTempFile(m_table.File(b.m_nBlock));
  s.m_nIndex = b.m_nBlock;
  s.m_nStart = static_cast<int>(b.m_nFirst);
  s.m_nLength = static_cast<int>(b.Length());
  s.m_nFileLength = fileLength;
  s.m_bResume = resume ? 1 : 0;
  s.m_bRanged = ranged;
}

int CJobBlocks::WriteSidecar() {
  m_sidecar.m_ranges = m_scheduler.Plan().Ranges();
  return m_sidecar.WriteFor(m_strTarget);
}

CJobBlocks::BlockPtr CJobBlocks::NextWork(int done, CHttpSocket* donor) {
  const long long now = GetTickMs();
  const long long ownSpeed = m_scheduler.Finish(done, now);
  m_table.Release(done);  // the thread holds its own reference until it lets go
  // A block an earlier run left and nobody has taken yet comes first.
  if (const std::optional<int> left = m_scheduler.TakeLeftover(now)) {
    BlockPtr s = m_table.Get(*left);
    if (donor && s) s->AdoptConnection(*donor);
    return s;
  }
  return SplitOff(ownSpeed, donor);
}

CJobBlocks::BlockPtr CJobBlocks::SplitOff(long long ownSpeed, CHttpSocket* donor) {
  const bool warm = donor && donor->m_bConnected;
  HostLimiter::Permit permit;
  const auto room = [&] {
    UrlParts parts;
    return !SplitWebUrl(m_strBlockURL, parts) ||
           HostLimiter::Instance().TryAcquire(HostLimiter::KeyFor(parts), m_owner, permit);
  };
  const std::optional<CBlockScheduler::Split> split = m_scheduler.SplitOff(ownSpeed, warm, GetTickMs(), room);
  if (!split) return nullptr;
  const CHttpSocket* victim = m_table.Raw(split->victim);
  Grow(static_cast<size_t>(split->block) + 1);
  unlink(m_table.File(split->block).c_str());  // whatever an older run left under this number
  // On disk before the new block asks for a byte: a restart then finds
  // every block file's range.
  WriteSidecar();
  BlockPtr s = CBlockTable::Own(m_make());
  Aim(*s, *m_scheduler.Plan().Find(split->block), victim->m_nFileLength, victim->m_bResume != 0, true);
  if (donor) {
    // The same connection goes on, and with it the speed it has shown.
    s->AdoptConnection(*donor);
    if (s->m_bConnected) m_scheduler.CarrySpeed(split->block, ownSpeed);
  }
  s->GivePermit(std::move(permit));
  m_table.Put(split->block, s);
  return s;
}

CJobBlocks::BlockPtr CJobBlocks::WaitForWork(std::unique_lock<std::mutex>& lk, std::condition_variable& wake,
                                              const std::function<bool()>& running, CHttpSocket* donor) {
  // How often a thread without a block looks for one to help.
  constexpr auto kLingerStep = std::chrono::milliseconds(100);
  bool warm = donor && donor->m_bConnected;
  if (warm) m_scheduler.WaitingWarm(+1);
  BlockPtr found;
  while (!found && running() && m_scheduler.Splittable() && m_scheduler.Open()) {
    if (warm && donor->HostWanted()) {
      // A block of ours or another task waits for the host's room: an idle
      // connection must not hold it (on a host of one it is the only one).
      lk.unlock();
      donor->Close();
      lk.lock();
      warm = false;
      m_scheduler.WaitingWarm(-1);
      continue;
    }
    wake.wait_for(lk, kLingerStep);
    if (!running()) break;
    found = SplitOff(-1, donor);
  }
  if (warm) m_scheduler.WaitingWarm(-1);
  return found;
}

bool CJobBlocks::CountIn(int index, bool& last) {
  std::lock_guard<std::mutex> done(HttpGetThreadMutex());
  if (index < 0 || static_cast<size_t>(index) >= m_done.size() || m_done[static_cast<size_t>(index)]) return false;
  m_done[static_cast<size_t>(index)] = 1;
  last = std::all_of(m_done.begin(), m_done.end(), [](unsigned char f) { return f != 0; });
  return true;
}

std::vector<unsigned char> CJobBlocks::DoneFlags() const {
  std::lock_guard<std::mutex> done(HttpGetThreadMutex());
  return m_done;
}

bool CJobBlocks::LearnLength(int length) {
  CBlockPlan& plan = m_scheduler.Plan();
  if (plan.FileLength() >= 0 || plan.Blocks().size() != 1 || length <= 0) return false;
  plan.FixedSplit(length, 1);
  m_sidecar.m_nLength = length;
  return true;
}

std::vector<CBlockMerger::Piece> CJobBlocks::Pieces(long long& total) const {
  std::vector<CBlockMerger::Piece> pieces;
  for (const auto& r : m_scheduler.Plan().Ranges())
    pieces.push_back({m_table.File(r.m_nBlock), r.m_nLast - r.m_nFirst + 1});
  total = m_scheduler.Plan().FileLength();
  return pieces;
}

std::vector<CJobBlocks::BlockPtr> CJobBlocks::Clear() {
  std::vector<BlockPtr> blocks = m_table.TakeAll();
  m_scheduler.Plan() = CBlockPlan();
  std::lock_guard<std::mutex> done(HttpGetThreadMutex());
  m_done.clear();
  return blocks;
}
