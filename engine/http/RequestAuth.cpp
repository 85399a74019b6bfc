#include "engine/http/RequestAuth.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "engine/http/Url.h"
#include "engine/TextRules.h"

namespace {

struct Entry {
  std::string host;  // lower case
  int port = 80;
  bool secure = false;
  std::string path;
  CRequestAuth::Maker maker;
};

std::mutex g_authLock;
std::vector<Entry>& Entries() {
  // Never destroyed: block threads may still build requests while the
  // process exits.
  static auto* entries = new std::vector<Entry>;
  return *entries;
}

bool Parse(const std::string& prefix, Entry& e) {
  UrlParts parts;
  if (!SplitWebUrl(prefix, parts)) return false;
  e.host = AsciiLower(parts.host);
  e.port = parts.port;
  e.secure = parts.secure;
  // A query in a prefix would never match a path; only the path counts.
  e.path = parts.object.substr(0, parts.object.find_first_of("?#"));
  return true;
}

bool IsIdChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '%';
}

// "<path>download.view?id=<value>" or stream.view, nothing more: any other
// call of the API may change something on the server (they change state
// on GET), and a link from a page or a host can name any of them.
bool IsSongCall(const std::string& object, const std::string& path) {
  if (object.compare(0, path.size(), path) != 0) return false;
  std::string rest = object.substr(path.size());
  for (const char* call : {"download.view?id=", "stream.view?id="}) {
    const std::string c = call;
    if (rest.compare(0, c.size(), c) != 0) continue;
    const std::string value = rest.substr(c.size());
    return !value.empty() && std::all_of(value.begin(), value.end(), IsIdChar);
  }
  return false;
}

}  // namespace

bool CRequestAuth::Register(const std::string& prefix, Maker maker) {
  Entry e;
  if (!Parse(prefix, e) || !maker) return false;
  e.maker = std::move(maker);
  std::lock_guard<std::mutex> g(g_authLock);
  for (Entry& old : Entries()) {
    if (old.host == e.host && old.port == e.port && old.secure == e.secure && old.path == e.path) {
      old = std::move(e);
      return true;
    }
  }
  Entries().push_back(std::move(e));
  return true;
}

void CRequestAuth::Unregister(const std::string& prefix) {
  Entry e;
  if (!Parse(prefix, e)) return;
  std::lock_guard<std::mutex> g(g_authLock);
  auto& all = Entries();
  for (auto it = all.begin(); it != all.end(); ++it) {
    if (it->host == e.host && it->port == e.port && it->secure == e.secure && it->path == e.path) {
      all.erase(it);
      return;
    }
  }
}

void CRequestAuth::Clear() {
  std::lock_guard<std::mutex> g(g_authLock);
  Entries().clear();
}

std::string CRequestAuth::Decorate(const std::string& host, int port, const std::string& object) {
  UrlParts parts;
  parts.host = host;
  parts.port = port;
  parts.object = object;
  return Decorate(parts);
}

std::string CRequestAuth::Decorate(const UrlParts& parts) {
  const std::string& object = parts.object;
  Maker maker;
  {
    std::lock_guard<std::mutex> g(g_authLock);
    const std::string h = AsciiLower(parts.host);
    size_t best = 0;
    for (const Entry& e : Entries()) {
      if (e.host != h || e.port != parts.port || e.secure != parts.secure || !IsSongCall(object, e.path))
        continue;
      if (!maker || e.path.size() > best) {
        maker = e.maker;
        best = e.path.size();
      }
    }
  }
  if (!maker) return object;
  // Outside the lock: a maker may take its time (it may ask the server
  // something first).
  const std::string extra = maker();
  if (extra.empty()) return object;
  const size_t hash = object.find('#');
  const std::string base = object.substr(0, hash);
  return base + (base.find('?') == std::string::npos ? "?" : "&") + extra;
}
