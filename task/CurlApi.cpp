#include "task/CurlApi.h"

#include <dlfcn.h>

#include <mutex>

namespace {

template <typename Fn>
bool Resolve(void* lib, const char* name, Fn& out) {
  void* p = ::dlsym(lib, name);
  if (!p) return false;
  out = reinterpret_cast<Fn>(p);
  return true;
}

}  // namespace

bool CCurlApi::Load(const char* soname, CCurlApi& api) {
  api = CCurlApi{};
  // RTLD_LOCAL: nothing else in the process should bind to its symbols by
  // accident. Never closed, since handles and callbacks may outlive any owner.
  void* lib = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  CCurlApi a;
  const bool ok = Resolve(lib, "curl_global_init", a.global_init) &&
                  Resolve(lib, "curl_easy_init", a.easy_init) &&
                  Resolve(lib, "curl_easy_setopt", a.easy_setopt) &&
                  Resolve(lib, "curl_easy_perform", a.easy_perform) &&
                  Resolve(lib, "curl_easy_getinfo", a.easy_getinfo) &&
                  Resolve(lib, "curl_easy_cleanup", a.easy_cleanup) &&
                  Resolve(lib, "curl_slist_append", a.slist_append) &&
                  Resolve(lib, "curl_slist_free_all", a.slist_free_all);
  if (!ok) return false;
  api = a;
  return true;
}

const CCurlApi* CCurlApi::Get() {
  static CCurlApi api;
  static bool usable = false;
  static std::once_flag once;
  std::call_once(once, [] {
    // curl_global_init is not thread-safe itself; the once covers it.
    usable = Load("libcurl.so.4", api) && api.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  });
  return usable ? &api : nullptr;
}
