#include "cli/ConsoleScreen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace {

// One code point from UTF-8 at s[i]; bad bytes count as one character.
char32_t NextCodePoint(const std::string& s, size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
  if (b >= 0x80 && b < 0xC0) extra = 0;
  if (i + static_cast<size_t>(extra) >= s.size()) extra = 0;
  for (int k = 1; k <= extra; ++k)
    if ((static_cast<unsigned char>(s[i + static_cast<size_t>(k)]) & 0xC0) != 0x80) extra = 0;
  char32_t cp = extra == 3 ? b & 0x07 : extra == 2 ? b & 0x0F : extra == 1 ? b & 0x1F : b;
  for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + static_cast<size_t>(k)]) & 0x3F);
  i += 1 + static_cast<size_t>(extra);
  return cp;
}

int CodePointWidth(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return 0;
  if ((cp >= 0x0300 && cp <= 0x036F) || cp == 0x200B || (cp >= 0xFE00 && cp <= 0xFE0F)) return 0;
  const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
                    (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
                    (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
                    (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                    (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                    (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
                    (cp >= 0x20000 && cp <= 0x3FFFD);
  return wide ? 2 : 1;
}

}  // namespace

int ConsoleScreen::DisplayWidth(const std::string& utf8) {
  int cols = 0;
  for (size_t i = 0; i < utf8.size();) cols += CodePointWidth(NextCodePoint(utf8, i));
  return cols;
}

std::string ConsoleScreen::Fit(const std::string& utf8, int cols) {
  if (DisplayWidth(utf8) <= cols) return utf8;
  if (cols <= 0) return std::string();
  // Room for the "…" (one column) at the end.
  std::string out;
  int used = 0;
  for (size_t i = 0; i < utf8.size();) {
    const size_t start = i;
    const int w = CodePointWidth(NextCodePoint(utf8, i));
    if (used + w > cols - 1) break;
    used += w;
    out.append(utf8, start, i - start);
  }
  return out + "\xE2\x80\xA6";
}

std::string ConsoleScreen::Pad(const std::string& utf8, int cols) {
  std::string out = Fit(utf8, cols);
  const int w = DisplayWidth(out);
  if (w < cols) out.append(static_cast<size_t>(cols - w), ' ');
  return out;
}

int ConsoleScreen::TerminalWidth(int fd) {
  struct winsize ws = {};
  if (!isatty(fd) || ioctl(fd, TIOCGWINSZ, &ws) != 0) return 0;
  return ws.ws_col;
}

std::string ConsoleScreen::Frame(const std::vector<std::string>& lines, int width) {
  width = std::max(width, 10);
  std::string out;
  if (!m_drawnWidths.empty()) {
    // A terminal made narrower rewraps what it shows: an old line may now
    // take several rows, and the way back up is that much longer.
    int rows = 0;
    for (int w : m_drawnWidths) rows += width < m_nWidth && w > 0 ? (w + width - 1) / width : 1;
    out += "\r\x1b[" + std::to_string(rows) + "A";
  }
  out += "\x1b[J";
  m_drawnWidths.clear();
  // One column spare: a line filling the last column would leave some
  // terminals waiting to wrap.
  for (const std::string& line : lines) {
    const std::string fitted = Fit(line, width - 1);
    m_drawnWidths.push_back(DisplayWidth(fitted));
    out += fitted + "\n";
  }
  m_nWidth = width;
  return out;
}
