// The bundled server's request decoding: a request target from anybody on
// the machine must never name a file outside the server's root.
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <string>
#include "server/SafeRoot.h"
#include "server/UrlCodec.h"
#include "tests/fuzz/FuzzInput.h"

namespace {
const std::string& Root() {
  static const std::string root = [] {
    char dir[] = "/tmp/virelomp3-fuzz-root-XXXXXX";
    if (!mkdtemp(dir)) abort();
    const std::string songs = std::string(dir) + "/songs";
    if (mkdir(songs.c_str(), 0700) != 0) abort();
    FILE* f = fopen((songs + "/a.mp3").c_str(), "wb");
    if (f) fclose(f);
    return songs;
  }();
  return root;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string key = in.Next();
  const std::string target(in.Rest());
  const std::string decoded = PercentDecode(target, (size & 1) != 0);
  if (decoded.size() > target.size()) abort();
  (void)RawQueryValue(target, key);
  (void)PercentEncodePath(decoded);
  (void)PercentEncodeQuery(decoded);
  (void)HtmlEscape(decoded);

  CSafeRoot root(Root());
  std::string real;
  if (root.Resolve(decoded, real) == ResolveResult::kOk) {
    if (real.compare(0, Root().size() + 1, Root() + "/") != 0) abort();
  }
  if (IsCleanRelativePath(decoded) &&
      (decoded.find("..") != std::string::npos && decoded.find("/../") != std::string::npos))
    abort();
  return 0;
}
