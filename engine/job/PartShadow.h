#pragma once
// A second copy of a job's bytes, written in place into one file as they
// arrive, so that a finished song needs no joining: the merge's copying
// and most of its flush happen while the download runs, when the disk is
// idle anyway. The block files stay what a later run continues; this copy
// is used only when it holds every final block whole, each written in this
// run from its first byte on. Anything less, and the merge joins the block
// files as ever. Shared by a job's block threads; a thread of its own
// flushes the copy as it grows, since a flush costs by the bytes it covers
// and the one at the end would otherwise wait for the whole song.
#include <condition_variable>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

class CPartShadow {
 public:
  // "<temp>/<target name>.job.part.hpt": never the name of a block file.
  static std::string PathFor(const std::string& target);

  CPartShadow() = default;
  ~CPartShadow();  // the file goes unless Take() gave it away
  CPartShadow(const CPartShadow&) = delete;
  CPartShadow& operator=(const CPartShadow&) = delete;

  // A fresh, empty copy for a song of `length` bytes; none (and every later
  // call a no-op) when the length is unknown, the temp folder is on another
  // file system than the song's folder, or the disk lacks room for both.
  void Begin(const std::string& target, long long length);
  // A block file was opened holding `held` bytes; the block starts at
  // `start` in the song.
  void Opened(int block, long long start, long long held);
  // n bytes went into block's file at `offset` (in that file).
  void Wrote(int block, long long offset, const char* data, size_t n);

  struct Range {
    int block = 0;
    long long first = 0;
    long long length = 0;
  };
  // The copy's path when it holds exactly these ranges, which cover the
  // whole song in order; empty otherwise. The file is closed either way
  // and from then on belongs to the caller (a rename takes it).
  std::string Take(const std::vector<Range>& ranges);
  // The copy goes now.
  void Discard();

 private:
  static constexpr long long kFlushStep = 2ll << 20;
  struct Block {
    int number = 0;
    long long start = 0;
    long long upto = 0;  // bytes copied from the block's start, without a gap
    bool broken = false;
  };
  Block* Find(int block);
  // Ends the flushing thread and closes the file; the lock is not held.
  void Close();
  void Flushing();

  std::mutex m_lock;
  std::condition_variable m_grown;
  std::thread m_flusher;
  bool m_stop = false;
  long long m_unflushed = 0;
  std::string m_path;
  std::string m_songFolder;
  int m_fd = -1;
  bool m_taken = false;
  long long m_length = 0;
  std::vector<Block> m_blocks;
};
