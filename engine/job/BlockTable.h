#pragma once
// A job's block connections and block file names by block number. Every
// connection is shared between the table and the block thread that runs
// it: whoever lets go last closes and deletes it, so a thread that stopped
// its own job never runs on a released object. Kept under the job's lock.
#include <memory>
#include <string>
#include <vector>

#include "engine/job/BlockFileSet.h"
#include "engine/job/BlockScheduler.h"
#include "engine/http/HttpSocket.h"

class CBlockTable final : public IBlockFlows {
 public:
  using BlockPtr = std::shared_ptr<CHttpSocket>;
  // Owns s from here on; its deleter closes it with its callbacks cleared.
  static BlockPtr Own(CHttpSocket* s);
  // Whatever the connection says from now on, nobody listens.
  static void Silence(CHttpSocket& s);

  // n empty places, named after the target's block files.
  void Reset(const CBlockFileSet& files, size_t n);
  // At least n places; the new ones named, and empty.
  void Grow(const CBlockFileSet& files, size_t n);
  size_t Size() const { return m_blocks.size(); }
  void Put(int block, BlockPtr s);
  // The connection of a block, if any (nullptr past the end).
  BlockPtr Get(int block) const;
  CHttpSocket* Raw(int block) const;
  // The place lets go of its connection (its thread holds its own).
  void Release(int block);
  const std::string& File(int block) const;
  const std::vector<std::string>& Files() const { return m_files; }
  // Every connection's blocked receive returns at once.
  void AbortAll() const;
  // Every connection, the places and names emptied (a Stop).
  std::vector<BlockPtr> TakeAll();

  int Received(int block) const override;
  long long AskedMs(int block) const override;
  long long FirstByteMs(int block) const override;
  long long ActivityMs(int block) const override;
  int CutTo(int block, int length) override;
  void Kick(int block) override;

 private:
  std::vector<BlockPtr> m_blocks;
  std::vector<std::string> m_files;
};
