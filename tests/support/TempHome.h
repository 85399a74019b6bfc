#pragma once
// A private program directory and temp directory for one test.
//
//   vtest::TempHome th;          // sets VIRELOMP3_HOME and TMPDIR
//   th.home()   -> ".../home"    (no trailing "/", like GetAppDirectory())
//   th.tmpdir() -> ".../tmp/"    (what TMPDIR names, trailing "/")
//   th.temp()   -> ".../tmp/virelomp3-<uid>/" (like GetTempDirectory())
//
// The tree is a fresh mkdtemp directory under $TMPDIR (else /tmp) as it was
// when the object was made. home/ holds an empty "已下载" folder; tmp/ and
// the private folder in it are mode 0700. The previous environment is
// restored and the tree removed when the object goes away.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vtest {

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& root() const { return m_root; }
  const std::string& home() const { return m_home; }
  const std::string& temp() const { return m_temp; }
  const std::string& tmpdir() const { return m_tmpdir; }
  // home() + "/已下载" (UTF-8 on disk).
  std::string downloads() const;
  // XDG_DATA_HOME while the home lives (not created).
  std::string data() const;

 private:
  std::string m_root;
  std::string m_home;
  std::string m_temp;
  std::string m_tmpdir;
  std::optional<std::string> m_oldHome;
  std::optional<std::string> m_oldTmp;
  std::optional<std::string> m_oldData;
};

// Whole file as bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file with data; false on any failure.
bool WriteFile(const std::string& path, const std::string& data);
// Deterministic pseudo-random bytes: the same (n, seed) gives the same bytes.
std::string RandomBytes(size_t n, uint32_t seed = 1);

}  // namespace vtest
