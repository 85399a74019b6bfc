// GBK and UTF-8 conversions: names typed, stored and read from disk.
#include <cstdlib>
#include "engine/Gbk.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const size_t cut = in.Byte();
  const std::string text(in.Rest());

  const std::string utf8 = GbkToUtf8(text);
  if (!IsValidUtf8(utf8)) abort();
  (void)Utf8ToGbk(text);
  std::string strict;
  if (GbkToUtf8(text, strict)) {
    // Valid GBK comes back unchanged through UTF-8.
    std::string back;
    if (!Utf8ToGbk(strict, back) || back != text) abort();
  }
  std::string gbk;
  (void)Utf8ToGbk(text, gbk);

  const std::string prefix = CutGbk(text, cut);
  if (prefix.size() > cut || text.compare(0, prefix.size(), prefix) != 0) abort();
  return 0;
}
