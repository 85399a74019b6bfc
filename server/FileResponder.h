#pragma once
// Serves one file of the song library: HEAD, a single byte range (206 with
// Content-Range, 416 past the end), ETag, and the misbehaviour of a mirror
// profile (rate limit, drop part-way).
#include <atomic>
#include <string>

#include "server/MirrorProfile.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

struct ByteRange {
  long long first = 0;
  long long last = 0;  // inclusive
};

// Parses a single "bytes=a-b", "bytes=a-" or "bytes=-n" against a file size.
// Returns 1 for a satisfiable range, 0 when the header should be ignored
// (several ranges, not a byte range), -1 when it is unsatisfiable.
int ParseSingleRange(const std::string& header, long long size, ByteRange& range);

// profile may be null (the plain song host). stopping ends streaming early
// when the server shuts down.
void ServeFile(const httplib::Request& req, httplib::Response& res, const std::string& path,
               const MirrorProfile* profile, const std::atomic<bool>& stopping);
