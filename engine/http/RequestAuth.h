#pragma once
// Query parameters that some servers want on every request (credentials, a
// protocol version). They are added to the request line as it is built, so
// no stored address, record or list ever holds them.
#include <functional>
#include <string>

struct UrlParts;

class CRequestAuth {
 public:
  // Makes the parameters ("a=1&b=2") for one request; called anew for each
  // request so a one-time value can change every time.
  using Maker = std::function<std::string()>;

  // Requests to http://host[:port]/path... (or https://) whose path starts
  // with the given one get maker's parameters; the scheme counts, so what
  // an https server is given never goes out over plain http, not even to
  // its own host and port. A later registration for the same place
  // replaces the earlier one. False when prefix is no http(s):// address.
  static bool Register(const std::string& prefix, Maker maker);
  static void Unregister(const std::string& prefix);
  static void Clear();

  // object (path with query) of a request to host:port, with the parameters
  // of the longest matching registration appended; unchanged without one.
  // Only a song of the registered place gets them: the path is the prefix's
  // followed by download.view or stream.view, and the query is exactly
  // "id=<value>". The host is compared without regard to case. A request
  // that follows a redirect never asks here.
  static std::string Decorate(const UrlParts& parts);
  // The same for a plain http request.
  static std::string Decorate(const std::string& host, int port, const std::string& object);
};
