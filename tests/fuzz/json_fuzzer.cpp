// The JSON reader behind music-server searches: a reply is whatever the
// server (or anything answering on its address) sends.
#include <cstdlib>
#include <string>
#include "task/JsonValue.h"

namespace {
void Walk(const CJsonValue& v, int depth) {
  if (depth > CJsonValue::kMaxDepth + 1) abort();
  (void)v.Text();
  for (const CJsonValue* item : v.Items())
    if (item != &v) Walk(*item, depth + 1);
  for (const char* key : {"subsonic-response", "searchResult3", "song", "id", "suffix", "title",
                          "status", "error", "code", "message", "version"})
    if (const CJsonValue* m = v.Find(key)) Walk(*m, depth + 1);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CJsonValue doc;
  CJsonValue::Error why = CJsonValue::Error::kNone;
  const bool ok = CJsonValue::Parse(text, doc, &why);
  if (ok != (why == CJsonValue::Error::kNone)) abort();
  // Every value takes at least one byte of the text.
  if (why == CJsonValue::Error::kTooMany && size < CJsonValue::kMaxValues) abort();
  if (ok) Walk(doc, 0);
  return 0;
}
