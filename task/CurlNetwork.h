#pragma once
// What every libcurl transfer shares with the download engine: http and
// https only; TLS 1.2 or newer with the certificate and its name always
// checked, against the same trust (the system's store as OpenSSL finds it,
// SSL_CERT_FILE and SSL_CERT_DIR, the user's trust file of MP3.ini); and
// the same proxy choice for the same address.
#include <string>

#include "task/CurlApi.h"

class CCurlNetwork {
 public:
  // Sets those options on handle for one request to url, which libcurl must
  // not follow on its own: each hop of a redirect may need another proxy.
  // False, with why, when the proxy setting for url cannot be used; the
  // request must then not go out at all, rather than go direct.
  static bool Apply(const CCurlApi& curl, CURL* handle, const std::string& url, std::string& why);

  // Whether a redirect from one address to the other is followed: only to
  // http or https, and never from https down to http for a request that
  // carries credentials.
  static bool MayFollow(const std::string& from, const std::string& to, bool credentials);
};
