#include "engine/job/BlockTable.h"

namespace {

void CloseAndDelete(CHttpSocket* s) {
  CBlockTable::Silence(*s);
  s->Close();
  delete s;
}

}  // namespace

void CBlockTable::Silence(CHttpSocket& s) {
  s.m_pUserData = nullptr;
}

CBlockTable::BlockPtr CBlockTable::Own(CHttpSocket* s) { return BlockPtr(s, &CloseAndDelete); }

void CBlockTable::Reset(const CBlockFileSet& files, size_t n) {
  m_blocks.clear();
  m_files.clear();
  Grow(files, n);
}

void CBlockTable::Grow(const CBlockFileSet& files, size_t n) {
  if (n <= m_blocks.size()) return;
  m_blocks.resize(n);
  for (size_t i = m_files.size(); i < n; ++i) m_files.push_back(files.Name(static_cast<int>(i)));
}

void CBlockTable::Put(int block, BlockPtr s) {
  if (block >= 0 && static_cast<size_t>(block) < m_blocks.size()) m_blocks[static_cast<size_t>(block)] = std::move(s);
}

CBlockTable::BlockPtr CBlockTable::Get(int block) const {
  if (block < 0 || static_cast<size_t>(block) >= m_blocks.size()) return nullptr;
  return m_blocks[static_cast<size_t>(block)];
}

CHttpSocket* CBlockTable::Raw(int block) const {
  if (block < 0 || static_cast<size_t>(block) >= m_blocks.size()) return nullptr;
  return m_blocks[static_cast<size_t>(block)].get();
}

void CBlockTable::Release(int block) { Put(block, nullptr); }

const std::string& CBlockTable::File(int block) const {
  static const std::string none;
  if (block < 0 || static_cast<size_t>(block) >= m_files.size()) return none;
  return m_files[static_cast<size_t>(block)];
}

void CBlockTable::AbortAll() const {
  for (const auto& b : m_blocks)
    if (b) b->Abort();
}

std::vector<CBlockTable::BlockPtr> CBlockTable::TakeAll() {
  std::vector<BlockPtr> out = std::move(m_blocks);
  m_blocks.clear();
  m_files.clear();
  return out;
}

int CBlockTable::Received(int block) const {
  const CHttpSocket* s = Raw(block);
  return s ? s->Received() : -1;
}

long long CBlockTable::AskedMs(int block) const {
  const CHttpSocket* s = Raw(block);
  return s ? s->AskedMs() : -1;
}

long long CBlockTable::FirstByteMs(int block) const {
  const CHttpSocket* s = Raw(block);
  return s ? s->FirstByteMs() : -1;
}

long long CBlockTable::ActivityMs(int block) const {
  const CHttpSocket* s = Raw(block);
  return s ? s->ActivityMs() : 0;
}

int CBlockTable::CutTo(int block, int length) {
  CHttpSocket* s = Raw(block);
  return s ? s->CutTo(length) : -1;
}

void CBlockTable::Kick(int block) {
  if (CHttpSocket* s = Raw(block)) s->Kick();
}
