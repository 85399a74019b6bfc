// The finished-file walk's cost beside the merge's own: a file is split
// into block files, joined as the merge joins them (kernel copy, then
// fsync), and walked from the page cache. Prints one TSV line per file:
// name, bytes, merge ms, walk ms, walk / merge, verdict. Medians of RUNS.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/mp3/Mp3FileCheck.h"

namespace {

double Ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

long long SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void Split(const std::string& path, int blocks, std::vector<std::string>& parts) {
  const long long size = SizeOf(path);
  const int in = open(path.c_str(), O_RDONLY);
  for (int b = 0; b < blocks; ++b) {
    const long long from = size * b / blocks, to = size * (b + 1) / blocks;
    parts.push_back(path + "-" + std::to_string(b) + ".hpt");
    const int out = open(parts.back().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    loff_t off = from;
    long long left = to - from;
    while (left > 0) {
      const ssize_t n = copy_file_range(in, &off, out, nullptr, static_cast<size_t>(left), 0);
      if (n <= 0) abort();
      left -= n;
    }
    close(out);
  }
  close(in);
}

// What the merge does with the block files: append each, then fsync.
void Merge(const std::vector<std::string>& parts, const std::string& target) {
  const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  for (const std::string& p : parts) {
    const int in = open(p.c_str(), O_RDONLY);
    long long left = SizeOf(p);
    while (left > 0) {
      const ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
      if (n <= 0) abort();
      left -= n;
    }
    close(in);
  }
  fsync(out);
  close(out);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  for (int i = 2; i < argc; ++i) {
    const std::string path = argv[i];
    std::vector<std::string> parts;
    Split(path, 4, parts);
    const std::string target = path + ".merged";
    std::vector<double> merge, walk;
    Mp3FileReport report;
    for (int r = 0; r < runs; ++r) {
      auto a = std::chrono::steady_clock::now();
      Merge(parts, target);
      auto b = std::chrono::steady_clock::now();
      report = CheckMp3File(target);  // the merged file is in the page cache
      auto c = std::chrono::steady_clock::now();
      merge.push_back(Ms(a, b));
      walk.push_back(Ms(b, c));
    }
    std::sort(merge.begin(), merge.end());
    std::sort(walk.begin(), walk.end());
    const double m = merge[merge.size() / 2], w = walk[walk.size() / 2];
    const char* verdict = report.m_eVerdict == Mp3Verdict::kWhole ? "whole" : "refused";
    std::printf("%s\t%lld\t%.2f\t%.2f\t%.1f %%\t%s\t%lld\n", path.substr(path.rfind('/') + 1).c_str(), SizeOf(target), m,
                w, 100.0 * w / m, verdict, report.m_nFrames);
    for (const std::string& p : parts) unlink(p.c_str());
    unlink(target.c_str());
  }
  return 0;
}
