#pragma once
// One target's block files in the private temp folder: their names, what
// an earlier run left in them, and which of them a new plan goes on with.
// Runs under the target's lock; no threads of its own.
#include <optional>
#include <string>
#include <vector>

#include "engine/job/BlockPlan.h"
#include "engine/job/Sidecar.h"

class CBlockFileSet {
 public:
  explicit CBlockFileSet(std::string target) : m_strTarget(std::move(target)) {}

  // "<temp>/<target name>-<k>.hpt".
  std::string Name(int block) const;
  // Bytes in a file we may trust (our own, not a link); -1 otherwise.
  static long long TrustedSize(const std::string& path);

  // The plan a job of `facts` starts with: the stored one when it was made
  // for this very file and its block files hold no record, else `blocks`
  // even parts (the old record removed before any file it describes). A
  // file of unknown length (-1) is one open block. Continued blocks count
  // the bytes their files hold; every other block file of the target goes.
  CBlockPlan Lay(const CSidecar& facts, const std::optional<CSidecar>& stored, int length, int blocks) const;
  // Removes every "<name>-<k>.hpt" whose k is not in keep.
  void DiscardAllBut(const std::vector<int>& keep) const;

 private:
  std::string m_strTarget;
};
