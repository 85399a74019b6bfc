#include "engine/job/BlockThreads.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "engine/job/BlockTable.h"

namespace {

thread_local IBlockWork* t_work = nullptr;
thread_local CHttpSocket* t_block = nullptr;
// The block the finishing block's thread is to run next, handed over from
// inside the connection's Run.
thread_local CBlockThreads::BlockPtr t_next;

}  // namespace

void CBlockThreads::Reset(size_t n) {
  for (auto& t : m_places)
    if (t.joinable()) m_leftovers.push_back(std::move(t));
  m_places.clear();
  m_places.resize(n);
}

bool CBlockThreads::AnyRunning() const {
  return std::any_of(m_places.begin(), m_places.end(), [](const std::thread& t) { return t.joinable(); });
}

std::vector<std::thread::id> CBlockThreads::Ids() const {
  std::vector<std::thread::id> out;
  for (const auto& t : m_places) out.push_back(t.get_id());
  return out;
}

void CBlockThreads::Launch(size_t place, IBlockWork& work, BlockPtr block) {
  if (place >= m_places.size()) m_places.resize(place + 1);
  m_places[place] = std::thread(&CBlockThreads::Loop, &work, std::move(block));
}

std::vector<std::thread> CBlockThreads::TakeAll() {
  std::vector<std::thread> out = std::move(m_places);
  m_places.clear();
  for (auto& t : m_leftovers) out.push_back(std::move(t));
  m_leftovers.clear();
  return out;
}

void CBlockThreads::KeepLeftover(std::thread t) {
  if (t.joinable()) m_leftovers.push_back(std::move(t));
}

std::vector<std::thread> CBlockThreads::TakeLeftovers(std::thread::id self) {
  std::vector<std::thread> out;
  for (auto& t : m_leftovers)
    if (t.joinable() && t.get_id() != self) out.push_back(std::move(t));
  std::erase_if(m_leftovers, [](const std::thread& t) { return !t.joinable(); });
  return out;
}

std::thread CBlockThreads::JoinAllBut(std::vector<std::thread>& threads, std::thread::id self) {
  std::thread mine;
  for (auto& t : threads) {
    if (!t.joinable()) continue;
    if (t.get_id() == self)
      mine = std::move(t);
    else
      t.join();
  }
  return mine;
}

IBlockWork* CBlockThreads::CurrentWork() { return t_work; }

CHttpSocket* CBlockThreads::CurrentBlock() { return t_block; }

void CBlockThreads::HandOver(BlockPtr next) { t_next = std::move(next); }

void CBlockThreads::Forget(const IBlockWork& work) {
  if (t_work != &work) return;
  if (t_block) CBlockTable::Silence(*t_block);
  t_work = nullptr;
}

void CBlockThreads::Loop(IBlockWork* work, BlockPtr block) {
  t_work = work;
  while (block) {
    t_block = block.get();
    // Named so a stuck download shows up in a debugger or top by what it is.
    char name[16];
    std::snprintf(name, sizeof name, "vmp3-block-%d", block->m_nIndex % 1000);
    pthread_setname_np(pthread_self(), name);
    work->RunBlock(*block);
    t_block = nullptr;
    // When Stop has already let go, this thread is the last user and the
    // connection is closed and freed with `done`, unless the next block
    // has taken it over.
    BlockPtr done = std::move(block);
    block = std::move(t_next);
    t_next = nullptr;
    if (t_work != work) break;  // the work was destroyed inside a callback
    if (!block) block = work->WaitForWork(done.get());
  }
  t_work = nullptr;
}
