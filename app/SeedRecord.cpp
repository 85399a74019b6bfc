#include "app/SeedRecord.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "task/Md5.h"

namespace {

bool IsMd5(const std::string& s) {
  if (s.size() != 32) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace

SeedRecord::SeedRecord(std::string path) : m_strPath(std::move(path)) {
  std::ifstream in(m_strPath, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A line that is not "<md5> <path>" is not ours: skipped, not trusted.
    if (line.size() < 34 || line[32] != ' ' || !IsMd5(line.substr(0, 32))) continue;
    m_sums[line.substr(33)] = line.substr(0, 32);
  }
}

std::string SeedRecord::Get(const std::string& rel) const {
  auto it = m_sums.find(rel);
  return it == m_sums.end() ? std::string() : it->second;
}

void SeedRecord::Set(const std::string& rel, const std::string& md5) {
  if (rel.empty() || rel.find('\n') != std::string::npos || !IsMd5(md5) || Get(rel) == md5) return;
  m_sums[rel] = md5;
  m_bChanged = true;
}

bool SeedRecord::Save() {
  if (!m_bChanged) return true;
  std::string text;
  for (const auto& [rel, md5] : m_sums) text += md5 + " " + rel + "\n";
  const std::string tmp = m_strPath + ".new." + std::to_string(getpid());
  bool ok;
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    ok = static_cast<bool>(out);
  }
  ok = ok && std::rename(tmp.c_str(), m_strPath.c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  if (ok) m_bChanged = false;
  return ok;
}

std::string SeedRecord::FileMd5(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return {};
  return Md5Hex(bytes.str());
}
