// The record file behind downing.dat on arbitrary bytes: a damaged or
// hand-edited file must open, walk, find and delete without fault.
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "engine/record/RecordFile.h"
#include "tests/fuzz/FuzzInput.h"

namespace {
std::string Dir() {
  static const std::string d = [] {
    char dir[] = "/tmp/virelomp3-fuzz-rec-XXXXXX";
    if (!mkdtemp(dir)) abort();
    setenv("TMPDIR", dir, 1);
    return std::string(dir) + "/";
  }();
  return d;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string name = in.Next();
  const int steps = in.Byte() % 8;
  const std::string body(in.Rest());
  const std::string path = Dir() + "downing.dat";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) abort();
  std::fwrite(body.data(), 1, body.size(), f);
  std::fclose(f);

  CRecordFile file;
  if (file.Open(path) < 0) return 0;
  int walked = 0;
  for (file.MoveFirst(); !file.IsEOF() && walked < 1000; file.MoveNext()) ++walked;
  if (walked > file.m_nCount) abort();
  const int found = file.Find(name);
  for (int i = 0; i < steps && !file.IsEOF(); ++i) {
    const int before = file.m_nCount;
    if (file.Delete() && file.m_nCount != before - 1) abort();
  }
  if (found >= 0 && file.m_nCount > 0) {
    file.Move(0);
    (void)file.AddNew();
  }
  file.Close();
  return 0;
}
