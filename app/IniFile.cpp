#include "app/IniFile.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <vector>
#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/TextRules.h"

namespace {


// ASCII letters only: section and key names may hold GBK bytes, which must
// compare exactly.
bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = x - 'A' + 'a';
    if (y >= 'A' && y <= 'Z') y = y - 'A' + 'a';
    if (x != y) return false;
  }
  return true;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines, bool& crlf) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  crlf = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      crlf = true;
    }
    lines.push_back(line);
  }
  return true;
}

// "[name]" -> name; false for other lines.
bool SectionOf(const std::string& line, std::string& name) {
  std::string t = TrimWhiteSpace(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = TrimWhiteSpace(t.substr(1, close - 1));
  return true;
}

// "key=value" -> key, value (both trimmed); false for lines without "=".
bool KeyOf(const std::string& line, std::string& key, std::string& value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = TrimWhiteSpace(line.substr(0, eq));
  value = TrimWhiteSpace(line.substr(eq + 1));
  return true;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

}  // namespace

std::string IniRead(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& def, size_t bufferSize) {
  auto cut = [bufferSize](const std::string& v) {
    return bufferSize == 0 ? std::string() : CutGbk(v, bufferSize - 1);
  };
  if (section.empty() || key.empty()) return cut(def);
  std::vector<std::string> lines;
  bool crlf = false;
  if (!ReadLines(path, lines, crlf)) return cut(def);
  bool inSection = false;
  for (const std::string& line : lines) {
    std::string name, k, v;
    if (SectionOf(line, name)) {
      // The first section of that name is the one that counts.
      if (inSection) break;
      inSection = EqualNoCase(name, section);
      continue;
    }
    if (inSection && KeyOf(line, k, v) && EqualNoCase(k, key)) return cut(Unquote(v));
  }
  return cut(def);
}

namespace {

// What a file made by open(0666) would get: the umask is read, not set, so
// no other thread ever sees it changed.
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 6, "Umask:") != 0) continue;
    return static_cast<mode_t>(0666 & ~std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  return 0644;  // no /proc: the common umask
}

// A password, or a proxy address with a user in it ("http://u:p@host").
bool HoldsSecret(const std::vector<std::string>& lines) {
  static const std::string kPassword = "_password";
  std::string section;
  for (const std::string& l : lines) {
    std::string name, k, v;
    if (SectionOf(l, name)) {
      section = name;
      continue;
    }
    if (!KeyOf(l, k, v) || TrimWhiteSpace(Unquote(v)).empty()) continue;
    if (k.size() >= kPassword.size() && EqualNoCase(k.substr(k.size() - kPassword.size()), kPassword))
      return true;
    if (EqualNoCase(section, "Network") && EqualNoCase(k, "Proxy") && v.find('@') != std::string::npos)
      return true;
  }
  return false;
}

// The mode the file had (0666 less the umask for a new one); a file that
// holds a secret is for its owner's eyes only, whatever it had.
mode_t FileModeFor(const std::string& path, const std::vector<std::string>& lines) {
  struct stat st {};
  const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : NewFileMode();
  return HoldsSecret(lines) ? (mode & 0700) : mode;
}

}  // namespace

bool IniWrite(const std::string& path, const std::string& section, const std::string& key,
              const std::string& value) {
  if (section.empty() || key.empty()) return false;
  std::vector<std::string> lines;
  bool crlf = false;
  ReadLines(path, lines, crlf);  // a missing file is simply empty

  const std::string newLine = key + "=" + value;
  int sectionAt = -1, lastInSection = -1;
  bool done = false;
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name, k, v;
    if (SectionOf(lines[i], name)) {
      if (sectionAt >= 0) break;
      if (EqualNoCase(name, section)) sectionAt = lastInSection = static_cast<int>(i);
      continue;
    }
    if (sectionAt < 0) continue;
    if (KeyOf(lines[i], k, v) && EqualNoCase(k, key)) {
      lines[i] = newLine;
      done = true;
    } else if (!TrimWhiteSpace(lines[i]).empty()) {
      lastInSection = static_cast<int>(i);
    }
  }
  if (!done) {
    if (sectionAt >= 0) {
      lines.insert(lines.begin() + lastInSection + 1, newLine);
    } else {
      lines.push_back("[" + section + "]");
      lines.push_back(newLine);
    }
  }

  const char* eol = crlf ? "\r\n" : "\n";
  std::string text;
  for (const std::string& l : lines) text += l + eol;

  // Written beside the file and renamed over it, so a crash leaves either
  // the old or the new file, never half of one.
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  // Owner-only from the start: the text may hold a password.
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::fchmod(fd, FileModeFor(path, lines)) != 0) {
    ::close(fd);
    ::unlink(tmp.c_str());
    return false;
  }
  size_t off = 0;
  bool ok = true;
  while (off < text.size()) {
    ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    off += static_cast<size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

bool IniKeepPrivate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && (st.st_mode & 077) != 0 && S_ISREG(st.st_mode)) {
    std::vector<std::string> lines;
    bool crlf = false;
    // A password typed in by hand never went through IniWrite.
    if (ReadLines(path, lines, crlf) && HoldsSecret(lines)) ok = ::fchmod(fd, st.st_mode & 0700) == 0;
  }
  ::close(fd);
  return ok;
}

int IniToInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsWhiteSpace(text[i])) ++i;
  bool neg = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (neg) v = -v;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

double IniToDouble(const std::string& text) {
  // Our own scan rather than strtod: the UI may switch the C locale to one
  // whose decimal point is not ".".
  size_t i = 0;
  while (i < text.size() && IsWhiteSpace(text[i])) ++i;
  std::string num;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') num += '-';
    ++i;
  }
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) num += text[i];
  if (i < text.size() && text[i] == '.') {
    num += '.';
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) num += text[i];
  }
  if (digits == 0) return 0.0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    std::string exp = "e";
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) exp += text[j++];
    size_t expDigits = 0;
    for (; j < text.size() && text[j] >= '0' && text[j] <= '9'; ++j, ++expDigits) exp += text[j];
    if (expDigits > 0) num += exp;
  }
  double v = 0.0;
  auto res = std::from_chars(num.data(), num.data() + num.size(), v);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow keeps its sign; underflow is as good as nothing.
    bool big = false;
    for (char c : num) {
      if (c == 'e') break;
      if (c >= '1' && c <= '9') big = true;
    }
    size_t e = num.find('e');
    bool negExp = e != std::string::npos && e + 1 < num.size() && num[e + 1] == '-';
    if (big && !negExp) return num[0] == '-' ? -HUGE_VAL : HUGE_VAL;
    return 0.0;
  }
  return v;
}

int MegabytesToBytes(const std::string& text) {
  double bytes = std::trunc(IniToDouble(text) * 1048576.0);
  if (std::isnan(bytes)) return 0;
  if (bytes >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (bytes <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(bytes);
}
