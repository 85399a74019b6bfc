#pragma once
// One row of a job's block view: what a block file covers, how far it has
// come and what is serving it right now. Copied out of the job under its
// lock, so it can be read at leisure on any thread.
#include <optional>
#include <string>

struct BlockSnapshot {
  int m_nBlock = 0;          // number in the block file's name
  long long m_nFirst = 0;    // first byte of the file it covers
  long long m_nLast = -1;    // last byte it covers (inclusive)
  long long m_nBytes = 0;    // bytes of the range received so far
  // Bytes a second over the last moments; none when no connection serves
  // the block (not started, finished, or between attempts).
  std::optional<long long> m_nSpeed;
  std::string m_strText;     // the block's last status text (GBK)
};
