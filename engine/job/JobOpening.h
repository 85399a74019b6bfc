#pragma once
// How a job begins, on the owner's thread before any block thread: the one
// request that tells the file's facts (continuing block 0 where an earlier
// run left part of it), and the plan its blocks start from.
#include <optional>
#include <string>

#include "engine/job/BlockPlan.h"
#include "engine/http/HttpSocket.h"
#include "engine/job/Sidecar.h"

class CJobOpening {
 public:
  // The job's address and target; `resume` when an earlier run's block
  // files may be continued.
  CJobOpening(std::string url, std::string target, bool resume);

  // The first request, on `first`; false when it brought no facts (its own
  // texts said why). Its reply's body, if any, is block 0's.
  bool Ask(CHttpSocket& first);
  // How long the answer took, in milliseconds.
  int AnswerMs() const { return m_nAnswerMs; }
  // The file's length: -1 unknown, 0 empty.
  int Length() const { return m_nLength; }
  // Where the blocks ask: the redirect target, or the job's own address.
  const std::string& BlockURL() const { return m_strBlockURL; }

  struct Layout {
    CBlockPlan plan;
    CSidecar facts;      // the record the plan is written under
    int blocks = 1;      // the count in force: fewer for a short file
    bool ranged = false; // ranges honoured: blocks may be split
    bool resume = false; // block files may be continued
    bool firstGoesOn = false;  // the first reply's body continues block 0
  };
  // The plan for at most `blocks` blocks (stored files continued where they
  // may be, every other block file of the target gone).
  Layout Lay(const CHttpSocket& first, int blocks) const;

 private:
  std::string m_strURL;
  std::string m_strTarget;
  bool m_bResume;
  std::string m_strBlockURL;
  int m_nLength = 0;
  bool m_bRanged = false;
  int m_nAnswerMs = -1;
  // The record an earlier run left; read once, before the first request:
  // the target's lock keeps it as it is until the plan is made.
  std::optional<CSidecar> m_stored;
};
