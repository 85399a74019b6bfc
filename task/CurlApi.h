#pragma once
// libcurl, opened on first use rather than at program start.
//
// Only the page fetcher and the update check need it; linking it outright
// would map it and a few dozen libraries behind it into every process,
// including the console fetch, which never touches it. The header is kept for
// types and constants only; calls go through these pointers.
#include <curl/curl.h>

struct CCurlApi {
  CURLcode (*global_init)(long flags) = nullptr;
  CURL* (*easy_init)() = nullptr;
  CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...) = nullptr;
  CURLcode (*easy_perform)(CURL* handle) = nullptr;
  CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...) = nullptr;
  void (*easy_cleanup)(CURL* handle) = nullptr;
  curl_slist* (*slist_append)(curl_slist* list, const char* text) = nullptr;
  void (*slist_free_all)(curl_slist* list) = nullptr;

  // The process-wide instance: "libcurl.so.4" opened, resolved and globally
  // initialised once, from whichever thread asks first. nullptr when the
  // library or any of the functions is missing; the answer never changes.
  static const CCurlApi* Get();

  // Opens the named library and resolves every function into api. False,
  // with api left empty, when anything is missing. The library stays loaded.
  // Get() is built on this; it does no global initialisation.
  static bool Load(const char* soname, CCurlApi& api);
};
