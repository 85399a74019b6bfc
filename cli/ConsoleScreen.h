#pragma once
// The live lines of a console run on a terminal: each line fitted to the
// terminal's width in display columns (a Chinese character takes two), so
// nothing wraps, and redrawn in place, also after the terminal was resized.
#include <string>
#include <vector>

class ConsoleScreen {
 public:
  // Columns a UTF-8 text takes on a terminal: two for wide characters,
  // none for combining marks, one for anything else.
  static int DisplayWidth(const std::string& utf8);
  // The text cut to at most cols columns, ending in "…" when it was cut.
  static std::string Fit(const std::string& utf8, int cols);
  // Fit, then padded with spaces to exactly cols columns.
  static std::string Pad(const std::string& utf8, int cols);
  // The terminal's width on fd, or 0 when fd is no terminal.
  static int TerminalWidth(int fd);

  // What to write to replace the frame drawn last with lines, on a
  // terminal width columns wide: the cursor goes back over the old frame
  // (as the terminal rewrapped it, when it got narrower), that is cleared,
  // and each line follows, fitted. The cursor ends below the frame.
  std::string Frame(const std::vector<std::string>& lines, int width);
  int LastWidth() const { return m_nWidth; }

 private:
  std::vector<int> m_drawnWidths;  // columns of each line drawn last
  int m_nWidth = 0;                // the width they were fitted to
};
