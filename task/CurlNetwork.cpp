#include "task/CurlNetwork.h"

#include <openssl/ssl.h>

#include "engine/http/Url.h"
#include "engine/http/NetworkOptions.h"
#include "engine/http/ProxyChoice.h"

namespace {

// libcurl has read its own default bundle by now; the OpenSSL defaults
// (which SSL_CERT_FILE and SSL_CERT_DIR replace) and the user's file are
// what the engine trusts, so a page and a download agree on every server.
CURLcode AddTrust(CURL*, void* sslContext, void*) {
  auto* ctx = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_default_verify_paths(ctx);
  const std::string caFile = GetNetworkOptions().caFile;
  // A trust file that cannot be read fails the fetch: going on without it
  // would only ever refuse the server it was meant for, less clearly.
  if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1)
    return CURLE_SSL_CACERT_BADFILE;
  return CURLE_OK;
}

}  // namespace

bool CCurlNetwork::Apply(const CCurlApi& curl, CURL* h, const std::string& url, std::string& why) {
  curl.easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl.easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl.easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl.easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl.easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl.easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &AddTrust);

  const ProxyChoice proxy = ChooseProxy(url);
  if (!proxy.fault.empty()) {
    why = proxy.fault;
    return false;
  }
  if (proxy.direct) {
    // An empty proxy also keeps libcurl from reading the environment itself.
    curl.easy_setopt(h, CURLOPT_PROXY, "");
    return true;
  }
  const std::string address = "http://" + proxy.HostPort();
  curl.easy_setopt(h, CURLOPT_PROXY, address.c_str());
  curl.easy_setopt(h, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
  if (!proxy.user.empty()) {
    curl.easy_setopt(h, CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_BASIC));
    curl.easy_setopt(h, CURLOPT_PROXYUSERNAME, proxy.user.c_str());
    curl.easy_setopt(h, CURLOPT_PROXYPASSWORD, proxy.password.c_str());
  }
  return true;
}

bool CCurlNetwork::MayFollow(const std::string& from, const std::string& to, bool credentials) {
  UrlParts a, b;
  if (!SplitWebUrl(to, b)) return false;
  if (!credentials) return true;
  return !(SplitWebUrl(from, a) && a.secure && !b.secure);
}
