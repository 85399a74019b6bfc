#pragma once
// Our own private-profile (INI) reader and writer: case-insensitive section
// and key names, a default when absent, values cut to the caller's buffer
// size less one (on a GBK character boundary), and writes that keep every
// other line of the file and replace it atomically (temp file + rename).
#include <string>

// Value of key in section, or def when the file, section or key is missing
// (or the section name is empty). At most bufferSize - 1 bytes are kept.
std::string IniRead(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& def, size_t bufferSize);
// Sets key in section, creating the file, section or key when missing.
// False when the file could not be written (the old file is then intact).
bool IniWrite(const std::string& path, const std::string& section, const std::string& key,
              const std::string& value);

// Makes the file owner-only when it holds a secret (a non-empty *_password,
// or a [Network] Proxy with a user in it) and others may read it. A new file
// gets 0666 less the umask; a written one keeps its mode, less group and
// others when it holds a secret. False when the mode could not be changed.
bool IniKeepPrivate(const std::string& path);

// C library conversion rules on the leading number of a text: optional blanks
// and sign, then digits (and for the double a fraction and exponent); no
// number gives 0. The integer saturates at the 32-bit limits.
int IniToInt(const std::string& text);
double IniToDouble(const std::string& text);
// Megabytes to bytes: leading double x 1048576, truncated toward zero and
// saturated at the 32-bit limits.
int MegabytesToBytes(const std::string& text);
