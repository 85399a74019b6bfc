#pragma once
// Fetches one web page over HTTP or HTTPS as text. The socket connection carries
// downloads and probes; this one reads whole pages (search results, the
// update check). Every GetPage opens and closes its own session, so an
// object may be made, used once and dropped on any thread.
#include <cstddef>
#include <functional>
#include <string>

struct CCurlApi;

class CRobotInternet {
 public:
  CRobotInternet();

  // True exactly when code is 0. page is set on success, and on a failure
  // after the body began (the text read so far); otherwise left alone.
  // code and error are always set. The connect is bounded by ConTimeOut, a
  // server silent for GetTimeOut after it, and the whole fetch by a multiple
  // of GetTimeOut; each time-out gives code 4.
  bool GetPage(const std::string& url, std::string& page, int& code, std::string& error);

  // Completes an address without a scheme: "http://" in front, or "http:"
  // when it begins with "/". Blanks around it are dropped.
  static std::string CompleteAddress(const std::string& url);
  // withUser: the Authorization of m_strUser too (its own server only).
  std::string BuildHeaders(bool withUser = true) const;
  static std::string EncodeBase64(const std::string& text);
  static std::string ErrorText(int code);
  static std::string StatusText(int status);

  int m_bUseCache = 0;
  int m_bWriteCache = 0;
  unsigned int m_nContext = 0;
  std::string m_strAuthScheme;
  std::string m_strProxyUser;
  std::string m_strProxyPassword;
  std::string m_strUser;
  std::string m_strPassword;
  std::string m_strAgent = "Mozilla";

  // Polled while a fetch runs; returning true abandons it (code 3). Lets a
  // caller give up at program exit or when its task is cancelled.
  std::function<bool()> m_fnCancel;
  // A reply longer than this is cut off and the fetch fails (at most 16 MiB).
  size_t m_nMaxBytes = 16u * 1024 * 1024;
  // Off: a redirect is the answer, read as a page, and nothing else is asked.
  bool m_bFollowRedirects = true;
  // Set by GetPage: the reply went past m_nMaxBytes.
  bool m_bTooLarge = false;
  // Address the page finally came from, after redirects; empty when no page
  // was read. Relative links of the page are relative to this one.
  std::string m_strEffectiveURL;
  // The address itself holds credentials (a music server's calls): no
  // redirect takes it from https down to plain http.
  bool m_bCarriesCredentials = false;

  enum {
    kSuccess = 0,
    kInvalidUrl = 1,
    kInvalidParameter = 2,
    kConnectionFailed = 3,
    kTimedOut = 4,
    kNotFound = 5,
    kNotAuthorized = 6,
    kDiskError = 7,
  };

 private:
  struct HopResult {
    std::string body;
    bool bodyBegun = false;
    std::string location;   // absolute; empty when the answer is the page
    std::string effective;
  };
  int Fetch(const CCurlApi& curl, const std::string& url, std::string& page);
  int FetchOne(const CCurlApi& curl, const std::string& url, bool sameOrigin, long long totalMs,
               long long connectMs, long getMs, HopResult& r);
};
