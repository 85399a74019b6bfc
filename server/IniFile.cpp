#include "server/IniFile.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <strings.h>

#include "engine/TextRules.h"

namespace {

// Spaces, tabs and the CR of a CRLF line; the server's files never hold other padding.
std::string_view Trim(std::string_view s) { return TrimChars(s, " \t\r"); }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool CIniFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  Parse(text.str());
  return true;
}

void CIniFile::Parse(std::string_view text) {
  m_entries.clear();
  m_sections.clear();
  std::string section;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = Trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      section = std::string(Trim(line.substr(1, close - 1)));
      bool known = false;
      for (const std::string& s : m_sections) known = known || SameText(s, section);
      if (!known) m_sections.push_back(section);
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    m_entries.push_back({section, std::string(Trim(line.substr(0, eq))), std::string(Trim(line.substr(eq + 1)))});
  }
}

std::vector<std::string> CIniFile::Sections() const { return m_sections; }

std::string CIniFile::Get(std::string_view section, std::string_view key, std::string_view fallback) const {
  // The first occurrence wins, as with the program's own profile reader.
  for (const Entry& e : m_entries) {
    if (SameText(e.section, section) && SameText(e.key, key)) return e.value;
  }
  return std::string(fallback);
}

long CIniFile::GetNumber(std::string_view section, std::string_view key, long fallback) const {
  std::string value = Get(section, key, "");
  if (value.empty()) return fallback;
  return std::strtol(value.c_str(), nullptr, 10);
}
