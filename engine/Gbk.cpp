#include "engine/Gbk.h"

#include <iconv.h>

#include <cerrno>

namespace {

// glibc loads a conversion's module at its first iconv_open and unloads it
// at its last iconv_close; threads doing both at once race inside the
// loader. One handle per conversion we use, held for the life of the
// process, keeps every module loaded. Kept in a static array so the leak
// checker sees them reachable.
void KeepConversionModulesLoaded() {
  static const iconv_t kKept[] = {iconv_open("UTF-8", "GBK"), iconv_open("GBK", "UTF-8"),
                                  iconv_open("UTF-16LE", "UTF-8")};
  (void)kKept;
}

// One iconv handle per call: handles are not safe to share between threads
// and conversions here are short.
class Converter {
 public:
  Converter(const char* to, const char* from) : m_cd((KeepConversionModulesLoaded(), iconv_open(to, from))) {}
  ~Converter() {
    if (m_cd != reinterpret_cast<iconv_t>(-1)) iconv_close(m_cd);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts in; on a bad sequence either fails (strict) or writes "?" and
  // skips badLen(rest) bytes.
  template <typename SkipFn>
  bool Run(std::string_view in, std::string& out, bool strict, SkipFn badLen) {
    out.clear();
    if (m_cd == reinterpret_cast<iconv_t>(-1)) return false;
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buf[1024];
    bool ok = true;
    while (srcLeft > 0) {
      char* dst = buf;
      size_t dstLeft = sizeof buf;
      size_t r = iconv(m_cd, &src, &srcLeft, &dst, &dstLeft);
      out.append(buf, static_cast<size_t>(dst - buf));
      if (r != static_cast<size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      ok = false;
      if (strict) return false;
      out += '?';
      size_t skip = errno == EINVAL ? srcLeft : badLen(std::string_view(src, srcLeft));
      if (skip == 0 || skip > srcLeft) skip = srcLeft < 1 ? srcLeft : 1;
      src += skip;
      srcLeft -= skip;
      iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
    }
    return ok;
  }

 private:
  iconv_t m_cd;
};

size_t SkipOneByte(std::string_view) { return 1; }

// A character GBK cannot hold is skipped whole, so one "?" stands for it.
size_t SkipUtf8Char(std::string_view s) {
  unsigned char c = static_cast<unsigned char>(s[0]);
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  size_t i = 1;
  while (i < n && i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
  return i;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  std::string out;
  Converter("UTF-8", "GBK").Run(gbk, out, false, SkipOneByte);
  return out;
}

std::string Utf8ToGbk(std::string_view utf8) {
  std::string out;
  Converter("GBK", "UTF-8").Run(utf8, out, false, SkipUtf8Char);
  return out;
}

bool GbkToUtf8(std::string_view gbk, std::string& out) {
  return Converter("UTF-8", "GBK").Run(gbk, out, true, SkipOneByte);
}

bool Utf8ToGbk(std::string_view utf8, std::string& out) {
  return Converter("GBK", "UTF-8").Run(utf8, out, true, SkipUtf8Char);
}

std::string CutGbk(std::string_view gbk, size_t maxBytes) {
  size_t i = 0;
  while (i < gbk.size()) {
    unsigned char c = static_cast<unsigned char>(gbk[i]);
    size_t w = (c >= 0x81 && c <= 0xFE) ? 2 : 1;
    // A lead byte with nothing after it is half a character too.
    if (i + w > maxBytes || i + w > gbk.size()) break;
    i += w;
  }
  return std::string(gbk.substr(0, i));
}

bool IsValidUtf8(std::string_view text) {
  std::string ignored;
  return Converter("UTF-16LE", "UTF-8").Run(text, ignored, true, SkipOneByte);
}
