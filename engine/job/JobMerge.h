#pragma once
// The end of a job whose blocks are all in: the block files joined into
// "<target>.part" in file order (CBlockMerger), judged, then given the
// song's name. Whatever stops it before that keeps the block files, so a
// later run only merges again; a file that is no song is thrown away with
// its blocks. The job decides its callbacks from what this says.
#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "engine/job/BlockMerger.h"
#include "engine/FileCheck.h"

class CJobMerge {
 public:
  struct Verdict {
    bool stopped = false;  // nothing to say: the blocks are kept
    bool failed = false;
    std::string text;      // why it failed (GBK)
    int localError = 0;    // the errno of a cause on this machine, else 0
  };

  // The open files are kept in targetFile and blockFile, so that a stop
  // from elsewhere can close them.
  CJobMerge(std::string target, std::vector<CBlockMerger::Piece> pieces, long long total, FILE*& targetFile,
            FILE*& blockFile);
  // Unless the song took its name or was thrown away: the blocks stay.
  ~CJobMerge();
  CJobMerge(const CJobMerge&) = delete;
  CJobMerge& operator=(const CJobMerge&) = delete;

  // Joins and judges (check, when set, has the last word on a file that
  // is not markup). Not failed and not stopped: the part is ready.
  Verdict Join(const std::atomic<bool>& stopped, FileCheck check);
  // Before Join: `copy` (when not empty) already holds the whole song.
  void UseWhole(const std::string& copy) { m_merger->UseWhole(copy); }
  // Gives the part the song's name and lets the block files and the record
  // go: 0, or the errno of the failed rename (the blocks then stay).
  int Place();
  // Why the merged file cannot be made or take the song's name (GBK).
  static std::string PlacingFailureText(int err, const std::string& target);

 private:
  std::string m_strTarget;
  std::vector<CBlockMerger::Piece> m_pieces;
  std::optional<CBlockMerger> m_merger;
};
