#pragma once
// A job's block threads: one place per block thread it may run at once,
// the threads that ran a Stop of their own and are still on their way out,
// and what each thread does: its block, then the next its job hands it,
// until none is left. The places are kept under the job's lock; joining
// happens outside it.
#include <memory>
#include <thread>
#include <vector>

#include "engine/http/HttpSocket.h"

// What a block thread asks of its job.
class IBlockWork {
 public:
  using BlockPtr = std::shared_ptr<CHttpSocket>;
  // Runs one block to its end; its callbacks may hand the thread its next
  // block (CBlockThreads::HandOver).
  virtual void RunBlock(CHttpSocket& block) = 0;
  // The thread has nothing to fetch: a block to help, or none.
  virtual BlockPtr WaitForWork(CHttpSocket* donor) = 0;

 protected:
  ~IBlockWork() = default;
};

class CBlockThreads {
 public:
  using BlockPtr = IBlockWork::BlockPtr;

  // n empty places; threads still in the old ones are kept as leftovers.
  void Reset(size_t n);
  size_t Places() const { return m_places.size(); }
  bool Running(size_t place) const { return place < m_places.size() && m_places[place].joinable(); }
  bool AnyRunning() const;
  // The thread in each place (an empty id where none runs).
  std::vector<std::thread::id> Ids() const;
  // A thread in `place` runs `block` for `work`, then what work hands it.
  void Launch(size_t place, IBlockWork& work, BlockPtr block);
  // Every thread, places and leftovers, for a Stop to join; places emptied.
  std::vector<std::thread> TakeAll();
  // A Stop ran on this thread: a later Stop from another thread joins it.
  void KeepLeftover(std::thread t);
  // Leftovers a thread other than self may join; ended ones forgotten.
  std::vector<std::thread> TakeLeftovers(std::thread::id self);

  // Joins every thread but self's, which is handed back (or empty).
  static std::thread JoinAllBut(std::vector<std::thread>& threads, std::thread::id self);

  // On a block thread: whose work it does and the connection it runs now
  // (null elsewhere, and between blocks).
  static IBlockWork* CurrentWork();
  static CHttpSocket* CurrentBlock();
  // From inside the running block's callbacks: the block to run next.
  static void HandOver(BlockPtr next);
  // The work is being destroyed inside a callback on this thread: the
  // thread's connection must not call it again, and the thread leaves.
  static void Forget(const IBlockWork& work);

 private:
  static void Loop(IBlockWork* work, BlockPtr block);

  std::vector<std::thread> m_places;
  std::vector<std::thread> m_leftovers;
};
