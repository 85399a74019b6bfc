#include "engine/job/BlockFileSet.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "engine/Common.h"
#include "engine/job/OwnFile.h"
#include "engine/job/StoredPlan.h"

std::string CBlockFileSet::Name(int block) const {
  return GetTempDirectory() + GetPathFileName(m_strTarget) + "-" + std::to_string(block) + ".hpt";
}

long long CBlockFileSet::TrustedSize(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && OwnFile::Trusted(st) ? st.st_size : -1;
}

CBlockPlan CBlockFileSet::Lay(const CSidecar& facts, const std::optional<CSidecar>& stored, int length,
                              int blocks) const {
  // Block files are only continued when they were written for this very
  // file; the record says which range each holds, whatever the block count
  // is now. Anything else would stitch foreign bytes in.
  CBlockPlan plan;
  bool kept = false;
  if (stored) {
    CSidecar same = facts;
    same.m_nBlocks = stored->m_nBlocks;
    kept = same.Continues(*stored) && CStoredPlan::Continue(*stored, length, plan);
    // A block file holding a record is another target's record, written
    // under the name older copies used, never bytes of this file.
    for (const auto& b : plan.Blocks())
      if (kept && CSidecar::IsRecordFile(Name(b.m_nBlock))) kept = false;
  }
  if (!kept) {
    plan = CBlockPlan();
    plan.FixedSplit(length, blocks);
    // The record goes before the files it describes: a crash in between
    // leaves files that no later start continues.
    CSidecar::RemoveFor(m_strTarget);
  }
  if (length < 0) {
    PlanBlock whole;
    whole.m_nLast = -2;  // Length() -1: to the end of the body
    plan.Blocks().push_back(whole);
  }
  std::vector<int> keep;
  if (kept)
    for (auto& b : plan.Blocks()) {
      keep.push_back(b.m_nBlock);
      b.m_nBytes = std::clamp<long long>(TrustedSize(Name(b.m_nBlock)), 0, b.Length());
    }
  DiscardAllBut(keep);
  return plan;
}

void CBlockFileSet::DiscardAllBut(const std::vector<int>& keep) const {
  // An earlier run may have split the file into more pieces.
  const std::string dir = GetTempDirectory();
  const std::string prefix = GetPathFileName(m_strTarget) + "-";
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> doomed;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.compare(name.size() - 4, 4, ".hpt") != 0) continue;
    std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    if (std::find(keep.begin(), keep.end(), std::atoi(digits.c_str())) == keep.end() ||
        digits != std::to_string(std::atoi(digits.c_str())))
      doomed.push_back(dir + name);
  }
  closedir(d);
  for (const auto& p : doomed) unlink(p.c_str());
}
