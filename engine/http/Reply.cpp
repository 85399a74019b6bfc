#include "engine/http/Reply.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

#include "engine/http/Connection.h"

int Reply::Status() const { return ReplyStatusCode(m_header, m_length); }

int Reply::Value(const char* name, std::string& out, int maxLength) const {
  return FindHeaderValue(m_header, m_length, name, out, maxLength);
}

std::string Reply::Value(const char* name) const {
  std::string out;
  Value(name, out, kValueMax);
  return out;
}

bool Reply::Has(const char* name) const {
  std::string out;
  return Value(name, out, 0) >= 0;
}

long long Reply::ContentLength() const {
  std::string value;
  if (Value("Content-Length", value, kValueMax) < 0) return kNoLength;
  long long n = 0;
  return ParseContentLength(value, n) ? n : kUnreadable;
}

BodyCoding Reply::Coding() const { return ReadBodyCoding(Value("Transfer-Encoding"), Value("Content-Encoding")); }

BodyFraming Reply::Framing() const {
  BodyFraming f;
  f.coding = Coding();
  if (f.coding == BodyCoding::kIdentity) {
    const long long n = ContentLength();
    f.length = n >= 0 ? n : -1;
  }
  return f;
}

bool Reply::Range(ContentRange& range) const {
  std::string value;
  return Status() == 206 && Value("Content-Range", value, kValueMax) >= 0 && ParseContentRange(value, range);
}

bool Reply::IsRedirect() const {
  const int code = Status();
  return code == 301 || code == 302 || code == 307 || code == 308;
}

bool Reply::Closes() const {
  std::string value;
  return Value("Connection", value, kValueMax) >= 0 && strcasecmp(value.c_str(), "close") == 0;
}

std::string Reply::StatusLine() const {
  const void* cr = std::memchr(m_header, '\r', m_length);
  return std::string(m_header, cr ? static_cast<size_t>(static_cast<const char*>(cr) - m_header) : m_length);
}

Reply::ReadEnd Reply::ReadFrom(CConnection& conn, char* buf, size_t capacity, int& length, int& firstErr) {
  std::memset(buf, 0, capacity);
  size_t n = 0;
  firstErr = 0;
  while (n < capacity) {
    char c;
    const ssize_t r = conn.Recv(&c, 1, false);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (n == 0) firstErr = r == 0 ? ECONNRESET : errno;
      length = static_cast<int>(n);
      return ReadEnd::kCut;
    }
    buf[n++] = c;
    if (n >= 4 && std::memcmp(buf + n - 4, "\r\n\r\n", 4) == 0) {
      length = static_cast<int>(n);
      return ReadEnd::kWhole;
    }
  }
  length = static_cast<int>(n);
  return ReadEnd::kTooLong;
}
