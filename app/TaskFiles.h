#pragma once
// The files a task leaves while it downloads, found by the structure of
// their names rather than by a pattern built from the song name (which may
// hold "*", "?" or ".."):
//   temp dir:  <file>.<ext>-<digits>.hpt   block files
//              <file>.<ext>.job.hpt        the record of the blocks
//              <file>.<ext>.job.tmp.hpt    its scratch file while written
//              <file>.<ext>.job.part.hpt   the song copied in place as it arrives
//              <file>.<ext>.hpt            the record as older copies named it
//              <file>.<ext>.hpt.tmp        and their scratch file
//              <file>.<ext>.lock           the lock a job holds on them
//   downloads: <file>.<ext>.part           an unfinished merge
// where <file> is the task's target file name and <ext> holds no "." or "-".
// "<file>.<ext>" is the name the files belong to; whoever holds its lock
// owns all of them.
#include <functional>
#include <string>
#include <vector>

enum class TaskFileKind { kNone, kBlock, kSidecar, kLock, kPart };

// How a directory entry named `entry` belongs to the task whose target file
// name (without extension) is `file`; kNone when it does not.
TaskFileKind ClassifyTaskFile(const std::string& entry, const std::string& file);

// The on-disk target file names (UTF-8, and the raw bytes when they
// differ) of the task named `gbkName`; empty when the name makes no file.
std::vector<std::string> TaskTargetNames(const std::string& gbkName);

// Deletes the regular files of the removed tasks in tempDir (block files,
// records, locks) and downloadsDir (".part"), sparing any file that a task
// named in `kept` would use. Only files of names whose lock this call
// holds are deleted, so a job that holds one, or takes one meanwhile,
// keeps all its files. Failures are ignored. afterListing runs once the
// folders have been looked at and before any lock is taken (tests start a
// job there).
void DeleteTaskFilesIn(const std::string& tempDir, const std::string& downloadsDir,
                       const std::vector<std::string>& removed, const std::vector<std::string>& kept,
                       const std::function<void()>& afterListing = {});

// The same in the user's temporary directory and the program's download
// folder: what the window program and the console remove.
void DeleteTaskFiles(const std::vector<std::string>& removed, const std::vector<std::string>& kept);
