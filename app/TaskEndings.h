#pragma once
// How each name's last activation ended, for the details views: the song's
// path when it finished (the task and its candidates are gone by then), or
// the text it gave up on. Bounded: the oldest endings are forgotten first.
// Not locked itself: the application keeps it under its lock.
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "engine/job/BlockSnapshot.h"
#include "task/Candidate.h"

struct TaskEnding {
  bool m_bFinished = false;
  std::string m_strText;  // finished: the song's path (UTF-8); else the GBK failure text
  ChosenReason m_eReason = ChosenReason::kNone;
  std::vector<Candidate> m_candidates;  // ranked, as they stood at the end
  std::vector<BlockSnapshot> m_blocks;  // the last job's blocks at the end
  int m_nJobAnswerMs = -1;
};

class TaskEndings {
 public:
  static constexpr size_t kKept = 100;

  void Record(const std::string& name, TaskEnding ending);
  // nullptr when name has no ending on record.
  const TaskEnding* Find(const std::string& name) const;
  void Forget(const std::string& name);
  void Clear();

 private:
  std::map<std::string, TaskEnding> m_endings;
  std::deque<std::string> m_order;  // oldest first
};
