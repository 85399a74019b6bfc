#include "engine/job/JobOpening.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "engine/job/BlockFileSet.h"
#include "engine/Common.h"
#include "engine/job/FileInfoExchange.h"
#include "engine/job/StoredPlan.h"
#include "engine/http/Url.h"

CJobOpening::CJobOpening(std::string url, std::string target, bool resume)
    : m_strURL(std::move(url)), m_strTarget(std::move(target)), m_bResume(resume) {}

bool CJobOpening::Ask(CHttpSocket& first) {
  // Block 0's bytes on disk are not asked for again, if the plan goes on.
  if (m_bResume) m_stored = CSidecar::Load(m_strTarget);
  CStoredPlan::FirstAsk ask;
  const CBlockFileSet files(m_strTarget);
  if (m_stored) ask = CStoredPlan::FirstRequest(*m_stored, m_strURL, [&files](int b) { return files.Name(b); });
  m_strBlockURL = m_strURL;
  const long long asked = GetTickMs();
  const bool ok = FileInfoExchange::Open(first, m_strBlockURL, m_nLength, m_bRanged, ask.from, ask.to);
  if (ok) m_nAnswerMs = static_cast<int>(std::min<long long>(GetTickMs() - asked, INT_MAX));
  return ok;
}

CJobOpening::Layout CJobOpening::Lay(const CHttpSocket& first, int blocks) const {
  // A block with no bytes could never complete, so a short file gets fewer.
  // A file of unknown length (-1) is one block from byte 0 to the body's
  // end, never split and never continued: there is nothing to check its
  // pieces by.
  Layout out;
  out.ranged = m_bRanged && m_nLength >= 0;
  out.blocks = out.ranged ? std::min(blocks, m_nLength) : 1;
  out.resume = out.ranged && m_bResume;
  out.facts.m_nLength = m_nLength;
  out.facts.m_nBlocks = out.blocks;
  out.facts.m_strValidator = first.m_strValidator;
  out.facts.m_strURL = AddressWithoutCredentials(m_strURL);
  out.plan = CBlockFileSet(m_strTarget).Lay(out.facts, m_bRanged ? m_stored : std::nullopt, m_nLength, out.blocks);
  const PlanBlock& zero = out.plan.Blocks()[0];
  out.firstGoesOn = zero.m_nFirst == 0 && zero.m_nBytes == first.m_nHeldStart;
  return out;
}
