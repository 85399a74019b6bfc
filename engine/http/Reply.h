#pragma once
// One reply's header as it came off the connection, and what it says:
// status, header values, and how its body is framed. Every reader of a
// reply asks here, so a header means one thing wherever it is read.
#include <cstddef>
#include <string>

#include "engine/http/HttpFraming.h"

class CConnection;

// How a body is laid out on the connection.
struct BodyFraming {
  BodyCoding coding = BodyCoding::kIdentity;
  long long length = -1;  // identity bytes when told; -1: up to the close (or chunked)
};

class Reply {
 public:
  // Values are cut to this many bytes; none we read is longer.
  static constexpr int kValueMax = 256;
  // ContentLength() when the header is absent, or is there but cannot be read.
  static constexpr long long kNoLength = -1;
  static constexpr long long kUnreadable = -2;

  // A view of header bytes owned by the caller; they must outlive it.
  Reply(const char* header, size_t length) : m_header(header), m_length(length) {}
  explicit Reply(const std::string& header) : m_header(header.data()), m_length(header.size()) {}

  // 0 when the header is too short to have one.
  int Status() const;
  // The value of the header `name` (any case), blanks before it skipped,
  // cut to maxLength: its length, 0 for a line without its CR LF, -1 when
  // the header is not there.
  int Value(const char* name, std::string& out, int maxLength = kValueMax) const;
  // The value, or "" when absent.
  std::string Value(const char* name) const;
  bool Has(const char* name) const;

  // The one Content-Length rule: decimal digits only, blanks around them
  // allowed (HttpFraming's ParseContentLength). kNoLength without the
  // header, kUnreadable for a value that is not such a number.
  long long ContentLength() const;
  BodyCoding Coding() const;
  // The body's framing: a chunked body's Content-Length does not count,
  // and neither does one that cannot be read.
  BodyFraming Framing() const;
  // A 206's Content-Range, when it has one that reads.
  bool Range(ContentRange& range) const;
  // "Connection: close": the server ends the connection after this reply.
  bool Closes() const;
  // 301, 302, 307 or 308: followed alike, as we only ever send GET.
  bool IsRedirect() const;
  // The status line, without its CR LF.
  std::string StatusLine() const;

  // How reading a header off a connection ended.
  enum class ReadEnd {
    kWhole,    // ended with its blank line
    kTooLong,  // the buffer filled before the blank line came
    kCut,      // the connection closed, failed or timed out first
  };
  // Reads a header off conn one byte at a time, so the body starts with
  // the next byte on the connection. buf (capacity bytes) is zeroed first;
  // length gets the bytes stored. firstErr gets ECONNRESET for a close, or
  // the errno, when not even one byte came; else 0.
  static ReadEnd ReadFrom(CConnection& conn, char* buf, size_t capacity, int& length, int& firstErr);

 private:
  const char* m_header;
  size_t m_length;
};
