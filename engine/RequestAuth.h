#pragma once
// Query parameters that some servers want on every request (credentials, a
// protocol version). They are added to the request line as it is built, so
// no stored address, record or list ever holds them.
#include <functional>
#include <string>

class CRequestAuth {
 public:
  // Makes the parameters ("a=1&b=2") for one request; called anew for each
  // request so a one-time value can change every time.
  using Maker = std::function<std::string()>;

  // Requests to http://host[:port]/path... whose path starts with the given
  // one get maker's parameters. A later registration for the same place
  // replaces the earlier one. False when prefix is not an http:// address.
  static bool Register(const std::string& prefix, Maker maker);
  static void Unregister(const std::string& prefix);
  static void Clear();

  // object (path with query) of a request to host:port, with the parameters
  // of the longest matching registration appended; unchanged without one.
  // The host is compared without regard to case.
  static std::string Decorate(const std::string& host, int port, const std::string& object);
};
