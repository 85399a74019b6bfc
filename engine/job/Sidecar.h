#pragma once
// "<name>.job.hpt" beside a job's block files: what they were written for.
// Block files are only continued when a new job would write the very same
// bytes into them, so every fact that decides the bytes belongs here.
//
// Block k of target X is "X-k.hpt". The record and its scratch file end in
// ".job.hpt" and ".job.tmp.hpt", which no "<other>-<k>.hpt" can equal, so no
// target's record is ever another target's block. Older copies wrote the
// record as "<name>.hpt", which is block k of "<other>" when the name is
// "<other>-<k>": such a file is only taken for a record when its bytes say so.
#include <optional>
#include <string>
#include <vector>

#include "engine/job/BlockPlan.h"

struct CSidecar {
  int m_nLength = 0;
  int m_nBlocks = 0;
  std::string m_strValidator;  // ETag or Last-Modified, "" when the server sent none
  // The address the job was started with, without credentials. Empty in
  // files written before addresses were kept: those still match by the rest.
  std::string m_strURL;
  // "range=<block> <first> <last>", one per block file, after the lines
  // above. Files written before splitting existed have none: their blocks
  // are the fixed split of m_nBlocks.
  std::vector<PlanRange> m_ranges;

  // "<temp directory><file name of target>.job.hpt".
  static std::string PathFor(const std::string& target);
  // Where older copies kept it: "<temp directory><file name of target>.hpt".
  static std::string OldPathFor(const std::string& target);
  // The scratch names a write goes through (now and in older copies).
  static std::string ScratchPathFor(const std::string& target);
  static std::string OldScratchPathFor(const std::string& target);
  // The target's record: its own file, or, only when that is missing, one
  // an older copy left that parses as a record, which is then moved under
  // the new name. Call only while holding the target's lock.
  static std::optional<CSidecar> Load(const std::string& target);
  // Deletes the target's record and scratch files, the old-named record
  // only when its bytes are a record (else it is another target's block).
  // Call only while holding the target's lock.
  static void RemoveFor(const std::string& target);
  // True when the file at path is a record, whatever its name.
  static bool IsRecordFile(const std::string& path);
  // The file's facts, or nothing when it is missing, unreadable or not ours
  // (an unknown or repeated line, a bad number).
  static std::optional<CSidecar> Read(const std::string& path);
  static std::optional<CSidecar> Parse(const std::string& text);
  // Replaces the target's record whole (scratch file + rename), so a crash
  // leaves the old facts or the new ones, never a mix. 0, or the errno of
  // what failed.
  int WriteFor(const std::string& target) const;
  std::string Text() const;

  // True when block files described by `stored` may be continued by a job
  // described by this one.
  bool Continues(const CSidecar& stored) const;
};

// The address with any "user:password@" removed from its authority, and
// with line breaks dropped so it fits on one line.
std::string AddressWithoutCredentials(const std::string& url);
