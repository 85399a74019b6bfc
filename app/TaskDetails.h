#pragma once
// What a details view shows of one name: its candidates and the blocks of
// its current job, copied under the application lock so the view can read
// it at leisure.
#include <string>
#include <vector>

#include "engine/job/BlockSnapshot.h"
#include "task/Candidate.h"

struct TaskDetails {
  std::string m_strName;
  bool m_bHasEntry = false;  // false once the name left the table
  bool m_bActive = false;    // holds an active slot
  ChosenReason m_eReason = ChosenReason::kNone;
  std::vector<Candidate> m_candidates;  // ranked
  std::vector<BlockSnapshot> m_blocks;  // the current job's block files
  int m_nJobAnswerMs = -1;  // how long the job's first request waited for its answer
  // How the last activation ended, when it did: finished (the entry is
  // gone; the candidates are those it ended with) or given up.
  bool m_bEnded = false;
  bool m_bFinished = false;
  std::string m_strEnding;  // finished: the song's path (UTF-8); else the GBK failure text
};
