// The block-file record read back from the shared temporary directory, where
// an older copy, a crash or another program may have left anything.
#include <cstdlib>
#include <string>
#include "engine/job/Sidecar.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string url = in.Next();
  const std::string text(in.Rest());
  const std::optional<CSidecar> parsed = CSidecar::Parse(text);
  if (parsed) {
    // What a job writes must read back as the same facts, and match it.
    const std::optional<CSidecar> again = CSidecar::Parse(parsed->Text());
    if (!again || again->Text() != parsed->Text() || !parsed->Continues(*again)) abort();
  }
  const std::string clean = AddressWithoutCredentials(url);
  if (clean.find('\n') != std::string::npos || clean.find('\r') != std::string::npos) abort();
  return 0;
}
