#include "server/Charset.h"

#include <iconv.h>

#include <cerrno>

namespace {

// Returns false on any invalid or incomplete sequence; with lossy set an
// unconvertible character is replaced by "?" instead.
bool Convert(const char* to, const char* from, std::string_view in, std::string& out, bool lossy) {
  out.clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string result;
  result.resize(in.size() * 2 + 16);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = result.data();
  size_t dstLeft = result.size();
  bool ok = true;
  while (srcLeft > 0) {
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) {
      size_t used = result.size() - dstLeft;
      result.resize(result.size() * 2);
      dst = result.data() + used;
      dstLeft = result.size() - used;
      continue;
    }
    if (errno == EILSEQ && lossy && dstLeft > 0) {
      // Skip one whole UTF-8 sequence so the output stays in step.
      size_t skip = 1;
      while (skip < srcLeft && (static_cast<unsigned char>(src[skip]) & 0xC0) == 0x80) ++skip;
      src += skip;
      srcLeft -= skip;
      *dst++ = '?';
      --dstLeft;
      continue;
    }
    ok = false;
    break;
  }
  iconv_close(cd);
  if (!ok) return false;
  result.resize(result.size() - dstLeft);
  out = std::move(result);
  return true;
}

}  // namespace

bool ServerGbkToUtf8(std::string_view gbk, std::string& out) {
  return Convert("UTF-8", "GBK", gbk, out, false);
}

bool ServerUtf8ToGbk(std::string_view utf8, std::string& out) {
  return Convert("GBK", "UTF-8", utf8, out, false);
}

std::string ServerUtf8ToGbkLossy(std::string_view utf8) {
  std::string out;
  if (!Convert("GBK", "UTF-8", utf8, out, true)) return std::string();
  return out;
}

bool IsValidUtf8(std::string_view s) {
  std::string ignored;
  return Convert("UTF-16LE", "UTF-8", s, ignored, false);
}
