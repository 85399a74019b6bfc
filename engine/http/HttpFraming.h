#pragma once
// Readers of the header values that say how long a reply is and how its
// body is coded. Strict on purpose: a value we cannot read exactly is one
// we cannot trust bytes by. Plain functions, no socket, so the fuzz
// harnesses call them directly.
#include <cstddef>
#include <string>

// The status code of a reply header ("HTTP/1.1 206 ..."); 0 when the
// header is too short to have one.
int ReplyStatusCode(const char* header, size_t length);
// The value of the first header line called `name` (any case), blanks
// before it skipped, cut to maxLength: its length, 0 for a line without
// its CR LF, -1 when there is none. The status line is never a header.
int FindHeaderValue(const char* header, size_t length, const char* name, std::string& out, int maxLength);

// "Content-Length": decimal digits only, blanks around them allowed, no
// sign, at most 18 digits. False for anything else.
bool ParseContentLength(const std::string& value, long long& length);

struct ContentRange {
  long long first = -1;
  long long last = -1;
  long long total = -1;  // -1 for "*": the server does not know
};
// "Content-Range" of a 206: "bytes first-last/total" or "bytes
// first-last/*", with first <= last and last < total when total is given.
// The unit is matched without case; "bytes=" is taken too, as some servers
// write it. False for anything else, "bytes */total" included.
bool ParseContentRange(const std::string& value, ContentRange& range);

// How a reply's body is framed on the connection.
enum class BodyCoding {
  kIdentity,     // as is: Content-Length, or up to the close
  kChunked,      // Transfer-Encoding: chunked (Content-Length is ignored)
  kUnsupported,  // a compression, or a transfer coding we do not speak
};
// From the Transfer-Encoding and Content-Encoding values (empty when the
// header is absent). Only "identity" and "chunked" as the whole transfer
// coding, and "identity" as the content coding, are ours: we never ask for
// compression, so a compressed body is not the file.
BodyCoding ReadBodyCoding(const std::string& transferEncoding, const std::string& contentEncoding);
