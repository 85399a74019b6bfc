#pragma once
// Joins a job's block files, in file order, into "<target>.part". Where the
// block files and the target share a file system, block 0 itself becomes
// the part and only the others are appended (by the kernel where it can),
// so the bytes of the first block are never copied; a copy written in
// place during the download, when there is one, is taken whole instead.
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

class CBlockMerger {
 public:
  struct Piece {
    std::string file;
    long long length = 0;
  };
  struct Outcome {
    const char* problem = nullptr;  // texts-table id of what went wrong, or null
    int localError = 0;             // errno of a cause on this machine (full disk...)
    int placingError = 0;           // errno when the part could not be made at all
    bool stopped = false;
  };

  // `target` and `block` are where the open files are kept while joining,
  // so that a stop from elsewhere can close them.
  CBlockMerger(std::string target, std::vector<Piece> pieces, long long total, FILE*& targetFile,
               FILE*& blockFile);
  ~CBlockMerger();
  CBlockMerger(const CBlockMerger&) = delete;
  CBlockMerger& operator=(const CBlockMerger&) = delete;

  // Leaves a whole, flushed part on success. On failure the part may still
  // exist: follow with KeepBlocks or Discard.
  Outcome Join(const std::atomic<bool>& stopped);
  // Before Join: a file that already holds the whole song, every piece's
  // bytes in place. Join makes it the part when it can (the pieces are
  // checked, not read), and removes it when it cannot.
  void UseWhole(std::string copy) { m_whole = std::move(copy); }
  const std::string& Part() const { return m_part; }
  // The blocks stay for a later run: block 0 goes back under its own name
  // (cut to its length); a part made by copying is removed.
  void KeepBlocks();
  // The part goes (the caller removes the block files itself).
  void Discard();
  // Closes whichever of a merge's files is still open.
  static void Close(FILE*& targetFile, FILE*& blockFile);
  // True when block 0 was taken as the part.
  bool TookFirstBlock() const { return m_start == Start::kFirstBlock; }

 private:
  // What the part began as: nothing, block 0, or the whole copy.
  enum class Start { kEmpty, kFirstBlock, kWhole };

  int OpenPart();
  int OpenWholePart();
  void CloseFiles();
  void DropOfferedCopy();

  std::string m_part;
  std::vector<Piece> m_pieces;
  long long m_total;
  FILE*& m_target;
  FILE*& m_block;
  Start m_start = Start::kEmpty;
  std::string m_whole;  // the copy offered by UseWhole, until taken or dropped
};
