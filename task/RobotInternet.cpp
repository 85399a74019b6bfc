#include "task/RobotInternet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/Common.h"
#include "engine/http/HttpSocket.h"
#include "engine/http/Url.h"
#include "engine/TextRules.h"
#include "task/CurlApi.h"
#include "task/CurlNetwork.h"

namespace {

// A result page is a few kilobytes; anything this large is not a page we
// can use and must not exhaust memory.
constexpr size_t kMaxPageBytes = 16u * 1024 * 1024;
// The whole fetch may take this many receive time-outs before we give up.
constexpr long kWholeFetchFactor = 4;
// As many hops as a browser takes before it calls it a loop.
constexpr int kMaxRedirects = 10;


// libcurl refuses raw blanks and control bytes, and they are not valid on a
// request line; the address text keeps them, only the wire sees %XX.
std::string EscapeForWire(const std::string& url) {
  return PercentEscape(url, [](unsigned char c) { return c <= 0x20 || c == 0x7F || c >= 0x80; });
}

// The page is read in pieces of 1023 bytes, and a zero byte ends the text
// of its piece; pages with stray NULs come out the same on every platform.
std::string BodyToText(const std::string& body) {
  std::string text;
  text.reserve(body.size());
  for (size_t pos = 0; pos < body.size(); pos += 1023) {
    size_t n = std::min<size_t>(1023, body.size() - pos);
    const char* piece = body.data() + pos;
    const void* nul = std::memchr(piece, 0, n);
    if (nul) n = static_cast<const char*>(nul) - piece;
    text.append(piece, n);
  }
  return text;
}

struct Transfer {
  std::string body;
  size_t maxBytes = 0;
  bool tooLarge = false;
  const std::function<bool()>* cancel = nullptr;
  const CCurlApi* curl = nullptr;
  // Stall watch: once connected, a server that sends nothing for the
  // receive time-out is given up on, as the socket connection does.
  CURL* handle = nullptr;
  long long stallLimitMs = 0;
  long long lastChangeMs = -1;
  curl_off_t lastBytes = -1;
  bool stalled = false;
};


size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (t->body.size() + n > t->maxBytes) {
    t->tooLarge = true;
    return 0;  // makes libcurl stop with a write error
  }
  t->body.append(data, n);
  return n;
}

int OnTransferInfo(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (t->cancel && *t->cancel && (*t->cancel)()) return 1;
  curl_off_t connected = 0;
  if (t->curl->easy_getinfo(t->handle, CURLINFO_CONNECT_TIME_T, &connected) != CURLE_OK || connected <= 0)
    return 0;  // the connect has its own time-out
  const long long now = GetTickMs();
  if (dlnow != t->lastBytes || t->lastChangeMs < 0) {
    t->lastBytes = dlnow;
    t->lastChangeMs = now;
  } else if (now - t->lastChangeMs > t->stallLimitMs) {
    t->stalled = true;
    return 1;
  }
  return 0;
}

}  // namespace

CRobotInternet::CRobotInternet() = default;

bool CRobotInternet::GetPage(const std::string& url, std::string& page, int& code,
                             std::string& error) {
  error.clear();
  code = kSuccess;
  m_strEffectiveURL.clear();
  m_bTooLarge = false;

  const std::string u = CompleteAddress(url);

  UrlParts parts;
  if (url.empty()) {
    code = kInvalidParameter;
  } else if (!SplitWebUrl(u, parts)) {
    code = kInvalidUrl;
  } else if (m_fnCancel && m_fnCancel()) {
    code = kConnectionFailed;
  } else {
    ++m_nContext;
    // Without libcurl on the system a page fetch fails like a refused connection.
    const CCurlApi* curl = CCurlApi::Get();
    code = curl ? Fetch(*curl, u, page) : kConnectionFailed;
  }
  error = ErrorText(code);
  return code == kSuccess;
}

int CRobotInternet::Fetch(const CCurlApi& curl, const std::string& first, std::string& page) {
  const long connectMs = std::max(1, ConTimeOut.load()) * 1000L;
  const long getMs = std::max(1, GetTimeOut.load()) * 1000L;
  const long long deadline = GetTickMs() + connectMs + getMs * kWholeFetchFactor;
  // The user's own Authorization goes to the first address's server only.
  std::string origin;
  {
    UrlParts p;
    if (SplitWebUrl(first, p)) origin = (p.secure ? "s:" : ":") + p.host + ":" + std::to_string(p.port);
  }
  std::string url = EscapeForWire(first);
  for (int hop = 0; hop <= kMaxRedirects; ++hop) {
    UrlParts p;
    SplitWebUrl(url, p);
    const bool sameOrigin = (p.secure ? "s:" : ":") + p.host + ":" + std::to_string(p.port) == origin;
    const long long left = deadline - GetTickMs();
    if (left <= 0) return kTimedOut;
    HopResult r;
    const int code = FetchOne(curl, url, sameOrigin, left, std::min<long long>(connectMs, left), getMs, r);
    if (code != kSuccess) {
      if (r.bodyBegun) page = BodyToText(r.body);
      return code;
    }
    if (r.location.empty() || !m_bFollowRedirects) {
      page = BodyToText(r.body);
      m_strEffectiveURL = r.effective;
      return kSuccess;
    }
    if (!CCurlNetwork::MayFollow(url, r.location, m_bCarriesCredentials || !m_strUser.empty()))
      return kConnectionFailed;
    url = EscapeForWire(r.location);
  }
  return kConnectionFailed;  // too many redirects
}

int CRobotInternet::FetchOne(const CCurlApi& curl, const std::string& url, bool sameOrigin,
                             long long totalMs, long long connectMs, long getMs, HopResult& r) {
  CURL* h = curl.easy_init();
  if (!h) return kConnectionFailed;
  Transfer t;
  t.maxBytes = std::min(m_nMaxBytes, kMaxPageBytes);
  t.cancel = &m_fnCancel;
  t.curl = &curl;
  t.handle = h;
  t.stallLimitMs = getMs;
  curl_slist* list = nullptr;
  const std::string headers = BuildHeaders(sameOrigin);
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find("\r\n", start);
    if (end == std::string::npos) end = headers.size();
    if (end > start) list = curl.slist_append(list, headers.substr(start, end - start).c_str());
    start = end + 2;
  }
  if (!m_bUseCache) {
    // No cache of our own; this keeps proxies from answering for the server.
    list = curl.slist_append(list, "Pragma: no-cache");
    list = curl.slist_append(list, "Cache-Control: no-cache");
  }
  std::string why;
  int code = kSuccess;
  if (!CCurlNetwork::Apply(curl, h, url, why)) {
    code = kConnectionFailed;
  } else {
    curl.easy_setopt(h, CURLOPT_URL, url.c_str());
    curl.easy_setopt(h, CURLOPT_USERAGENT, m_strAgent.c_str());
    curl.easy_setopt(h, CURLOPT_HTTPHEADER, list);
    curl.easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl.easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl.easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max(1LL, connectMs)));
    curl.easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max(1LL, totalMs)));
    curl.easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody);
    curl.easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl.easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl.easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnTransferInfo);
    curl.easy_setopt(h, CURLOPT_XFERINFODATA, &t);

    const CURLcode rc = curl.easy_perform(h);
    long status = 0;
    if (curl.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    char* effective = nullptr;
    curl.easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
    r.effective = effective ? effective : "";
    char* location = nullptr;
    if (rc == CURLE_OK && status >= 300 && status < 400 &&
        curl.easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location)
      r.location = location;

    if (rc == CURLE_OK && status == 0) status = 200;  // nothing to query: read as 200
    if (status >= 400) {
      code = (status == 403 || status == 407) ? kNotAuthorized
             : status == 404                  ? kNotFound
                                              : kConnectionFailed;
    } else if (rc != CURLE_OK) {
      code = (rc == CURLE_OPERATION_TIMEDOUT || t.stalled) ? kTimedOut
             : rc == CURLE_URL_MALFORMAT    ? kInvalidUrl
                                            : kConnectionFailed;
      // Once the body had begun the caller gets what arrived.
      r.bodyBegun = status > 0;
    }
    r.body = std::move(t.body);
    m_bTooLarge = m_bTooLarge || t.tooLarge;
  }
  curl.slist_free_all(list);
  curl.easy_cleanup(h);
  return code;
}

std::string CRobotInternet::CompleteAddress(const std::string& url) {
  std::string u = TrimWhiteSpace(url);
  if (u.find(':') == std::string::npos) u = (u.empty() || u[0] != '/') ? "http://" + u : "http:" + u;
  return u;
}

std::string CRobotInternet::BuildHeaders(bool withUser) const {
  std::string h = "Accept:*/*\r\n";
  if (m_strAuthScheme == "basic" && !m_strProxyUser.empty())
    h += "Proxy-authorization:Basic " + EncodeBase64(m_strProxyUser + ":" + m_strProxyPassword) +
         "\r\n";
  if (withUser && !m_strUser.empty())
    h += "Authorization:Basic " + EncodeBase64(m_strUser + ":" + m_strPassword) + "\r\n";
  h += "\r\n";
  return h;
}

std::string CRobotInternet::EncodeBase64(const std::string& text) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((text.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(text[i]) << 16) |
                 (static_cast<unsigned char>(text[i + 1]) << 8) |
                 static_cast<unsigned char>(text[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = text.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(text[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(text[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string CRobotInternet::ErrorText(int code) {
  switch (code) {
    case kSuccess: return "Successful";
    case kInvalidUrl: return "Invalid URL";
    case kInvalidParameter: return "Invalid parameter";
    case kConnectionFailed: return "Connection failed";
    case kTimedOut: return "Timed out";
    case kNotFound: return "Not found";
    case kNotAuthorized: return "Not authorized";
    case kDiskError: return "Disk/file error";
    default: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "CRobotInternet error %d", code);
      return buf;
    }
  }
}

std::string CRobotInternet::StatusText(int status) {
  switch (status) {
    case 200: return "OK,request succeeded.";
    case 201: return "OK,new resource created.";
    case 202: return "Request accepted but processing not completed.";
    case 204: return "OK,but no content to return.";
    case 301: return "Requested resource has been assigned a new permanent URL.";
    case 302: return "Requested resource resides temporarily under a different URL.";
    case 304: return "Document has not been modified.";
    case 400: return "Bad request.";
    case 401: return "Unauthorized;request requires user authentication.";
    case 403: return "Forbidden for unspecified reason.";
    case 404: return "Not Found.";
    case 407: return "Unauthorized;reject by proxy server.";
    case 500: return "Internal server error.";
    case 501: return "Not implemented.";
    case 502: return "Bad gateway;invalid response from gateway or upstream server.";
    case 503: return "Service temporarily unavaliable.";
    default: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "Error %d", status);
      return buf;
    }
  }
}
