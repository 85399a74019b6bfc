#pragma once
#include <string>

struct UrlParts {
  std::string host;
  int port = 80;
  std::string object;  // path with query, "/" when empty
  bool secure = false;  // https
};

// http:// addresses only (scheme case-insensitive). False when the address
// cannot be split: another scheme, empty host, bad port.
bool SplitUrl(const std::string& url, UrlParts& out);

// http:// and https:// (port 443 by default, secure set).
bool SplitWebUrl(const std::string& url, UrlParts& out);

// "host[:port]" as an address writes it: an IPv6 literal in brackets, the
// port left out when it is the scheme's default.
std::string AuthorityOf(const UrlParts& parts);

// The Host header's value: the host name alone, as requests have always
// been written; an IPv6 literal as its authority ("[::1]:8080").
std::string HostForHeader(const UrlParts& parts);

// Escapes blanks and control bytes (and bytes >= 0x80) as %XX for a request
// line; everything else is kept as written.
std::string EscapeRequestTarget(const std::string& object);

// Resolves a Location value (absolute, "//host/x", "/x" or relative) against
// the URL that was requested.
std::string ResolveUrl(const std::string& base, const std::string& ref);
