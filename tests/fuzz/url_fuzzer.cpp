// Address splitting, request-target escaping and Location resolution: what a
// result page, a stored record or a redirect can hand the engine.
#include <cstdlib>
#include "engine/http/Url.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string base = in.Next();
  const std::string ref = in.Next();
  UrlParts parts;
  if (SplitUrl(base, parts)) {
    if (parts.host.empty() || parts.port <= 0 || parts.port > 65535 || parts.object.empty() ||
        parts.object[0] != '/')
      abort();
    const std::string target = EscapeRequestTarget(parts.object);
    // A request line must never carry a blank or a line break.
    for (char c : target)
      if (c == ' ' || c == '\r' || c == '\n' || c == '\0') abort();
  }
  const std::string resolved = ResolveUrl(base, ref);
  UrlParts again;
  (void)SplitUrl(resolved, again);
  return 0;
}
