#pragma once
// Block files and records that earlier versions left directly in $TMPDIR.
// They move into the private temp folder under their own names, so a task
// restarted after an upgrade still resumes; only files of ours that nobody
// else could have written are moved, the rest stay where they are.
#include <string>

class FormerTempFiles {
 public:
  // The target's files (by its file name). Call only while holding the
  // target's lock. How many were moved.
  static int MoveFor(const std::string& target);
};
