#pragma once
// "<name>.hpt" beside a job's block files: what they were written for. Block
// files are only continued when a new job would write the very same bytes
// into them, so every fact that decides the bytes belongs here.
#include <optional>
#include <string>
#include <vector>

#include "engine/BlockPlan.h"

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

  // "<temp directory><file name of target>.hpt".
  static std::string PathFor(const std::string& target);
  // The file's facts, or nothing when it is missing, unreadable or not ours
  // (an unknown or repeated line, a bad number).
  static std::optional<CSidecar> Read(const std::string& path);
  static std::optional<CSidecar> Parse(const std::string& text);
  // Replaces the file whole (temporary file + rename), so a crash leaves the
  // old facts or the new ones, never a mix.
  bool Write(const std::string& path) const;
  std::string Text() const;

  // True when block files described by `stored` may be continued by a job
  // described by this one.
  bool Continues(const CSidecar& stored) const;
};

// The address with any "user:password@" removed from its authority, and
// with line breaks dropped so it fits on one line.
std::string AddressWithoutCredentials(const std::string& url);
