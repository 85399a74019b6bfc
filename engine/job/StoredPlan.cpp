#include "engine/job/StoredPlan.h"

#include <sys/stat.h>

#include <climits>

#include "engine/job/OwnFile.h"

bool CStoredPlan::Continue(const CSidecar& stored, long long length, CBlockPlan& plan) {
  if (!stored.m_ranges.empty()) return plan.SetRanges(length, stored.m_ranges);
  if (stored.m_nBlocks < 1 || stored.m_nBlocks > length) return false;
  plan.FixedSplit(length, stored.m_nBlocks);
  return true;
}

CStoredPlan::FirstAsk CStoredPlan::FirstRequest(const CSidecar& stored, const std::string& url,
                                               const std::function<std::string(int)>& fileOf) {
  // Another address's files are never continued: its reply would be dropped.
  if (!stored.m_strURL.empty() && stored.m_strURL != AddressWithoutCredentials(url)) return {};
  CBlockPlan plan;
  if (stored.m_nLength <= 0 || !Continue(stored, stored.m_nLength, plan)) return {};
  for (const PlanBlock& b : plan.Blocks()) {
    if (b.m_nFirst != 0) continue;
    const std::string path = fileOf(b.m_nBlock);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !OwnFile::Trusted(st)) return {};
    // A record under a block's name is never that block's bytes.
    if (st.st_size <= 0 || st.st_size >= b.Length() || st.st_size > INT_MAX || CSidecar::IsRecordFile(path))
      return {};
    // To the block's end: an open range would have the server push bytes
    // past it that the block never reads.
    if (b.m_nLast > INT_MAX) return {static_cast<int>(st.st_size), 0};
    return {static_cast<int>(st.st_size), static_cast<int>(b.m_nLast)};
  }
  return {};
}
