#pragma once
// One hex digit's value, either case; -1 for anything else. Shared by the
// chunk-size reader and the bundled server's %XX decoding.

inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
