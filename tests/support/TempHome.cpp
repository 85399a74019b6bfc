#include "tests/support/TempHome.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace vtest {

namespace {

std::optional<std::string> GetEnv(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

void RestoreEnv(const char* name, const std::optional<std::string>& value) {
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

}  // namespace

TempHome::TempHome()
    : m_oldHome(GetEnv("VIRELOMP3_HOME")), m_oldTmp(GetEnv("TMPDIR")), m_oldData(GetEnv("XDG_DATA_HOME")) {
  std::string base = m_oldTmp && !m_oldTmp->empty() ? *m_oldTmp : std::string("/tmp");
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string templ = base + "/virelomp3-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed under " + base);
  m_root = buf.data();
  m_home = m_root + "/home";
  m_tmpdir = m_root + "/tmp/";
  m_temp = m_tmpdir + "virelomp3-" + std::to_string(geteuid()) + "/";
  if (mkdir(m_home.c_str(), 0700) != 0 || mkdir((m_home + "/已下载").c_str(), 0700) != 0 ||
      mkdir(m_tmpdir.c_str(), 0700) != 0 || mkdir(m_temp.c_str(), 0700) != 0)
    throw std::runtime_error("cannot create the test home under " + m_root);
  setenv("VIRELOMP3_HOME", m_home.c_str(), 1);
  setenv("TMPDIR", m_tmpdir.substr(0, m_tmpdir.size() - 1).c_str(), 1);
  // The user's data folder too (the trash lives there): never the real one.
  setenv("XDG_DATA_HOME", data().c_str(), 1);
}

TempHome::~TempHome() {
  RestoreEnv("VIRELOMP3_HOME", m_oldHome);
  RestoreEnv("TMPDIR", m_oldTmp);
  RestoreEnv("XDG_DATA_HOME", m_oldData);
  std::error_code ec;
  std::filesystem::remove_all(m_root, ec);
}

std::string TempHome::downloads() const { return m_home + "/已下载"; }

std::string TempHome::data() const { return m_root + "/data"; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  return static_cast<bool>(out);
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(gen() & 0xFF);
  return s;
}

}  // namespace vtest
