#pragma once
// The block plan an earlier run left for a target, read back: which ranges
// its block files hold and where a continuing job's first request starts.
#include <functional>
#include <string>

#include "engine/job/BlockPlan.h"
#include "engine/job/Sidecar.h"

class CStoredPlan {
 public:
  // The ranges of stored (or, for a record written before ranges were
  // kept, the fixed split of its block count) over length bytes; false
  // when they do not fit.
  static bool Continue(const CSidecar& stored, long long length, CBlockPlan& plan);
  // What a continuing job's first request asks: from the bytes the file of
  // the block at byte 0 holds to that block's last byte, when they can be
  // continued (more than none and fewer than the block's range). Else
  // {0, 0}: from byte 0 to the end, as a fresh job's does.
  // url is the job's; fileOf names a block number's file.
  struct FirstAsk {
    int from = 0;
    int to = 0;
  };
  static FirstAsk FirstRequest(const CSidecar& stored, const std::string& url,
                               const std::function<std::string(int)>& fileOf);
};
