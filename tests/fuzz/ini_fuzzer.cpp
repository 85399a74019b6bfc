// The settings reader and writer on arbitrary file bytes.
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "app/IniFile.h"
#include "tests/fuzz/FuzzInput.h"

namespace {
std::string Path() {
  static const std::string p = [] {
    char dir[] = "/tmp/virelomp3-fuzz-ini-XXXXXX";
    if (!mkdtemp(dir)) abort();
    return std::string(dir) + "/MP3.ini";
  }();
  return p;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string section = in.Next();
  const std::string key = in.Next();
  const size_t buffer = in.Byte();
  const std::string body(in.Rest());
  const std::string path = Path();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) abort();
  std::fwrite(body.data(), 1, body.size(), f);
  std::fclose(f);

  const std::string value = IniRead(path, section, key, "default", buffer);
  if (buffer > 0 && value.size() >= buffer && value != "default") abort();
  (void)IniToInt(value);
  (void)IniToDouble(value);
  (void)MegabytesToBytes(value);
  if (section.find_first_of("\r\n") == std::string::npos &&
      key.find_first_of("\r\n") == std::string::npos)
    (void)IniWrite(path, section, key, value);
  return 0;
}
