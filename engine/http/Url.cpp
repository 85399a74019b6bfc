#include "engine/http/Url.h"

#include <cctype>
#include <string_view>

#include "engine/TextRules.h"

namespace {

bool BadHostByte(unsigned char c) {
  return c <= 0x20 || c == 0x7F || c == '@' || c == '\\';
}

// Standard dot-segment removal, so "a/../b" and "./b" do not reach the server.
std::string RemoveDotSegments(std::string_view in) {
  std::string out;
  while (!in.empty()) {
    if (in.substr(0, 3) == "../") {
      in.remove_prefix(3);
    } else if (in.substr(0, 2) == "./") {
      in.remove_prefix(2);
    } else if (in.substr(0, 3) == "/./") {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.substr(0, 4) == "/../" || in == "/..") {
      in = in.size() == 3 ? std::string_view("/") : in.substr(3);
      size_t slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      size_t next = in.find('/', in[0] == '/' ? 1 : 0);
      if (next == std::string_view::npos) next = in.size();
      out.append(in.substr(0, next));
      in.remove_prefix(next);
    }
  }
  return out;
}

struct Pieces {
  std::string scheme;     // "http:" including the colon, may be empty
  std::string authority;  // "//host:port", may be empty
  std::string path;
  std::string query;  // with its "?"
};

Pieces Dissect(std::string_view url) {
  Pieces p;
  size_t hash = url.find('#');
  if (hash != std::string_view::npos) url = url.substr(0, hash);
  size_t colon = url.find(':');
  size_t stop = url.find_first_of("/?");
  if (colon != std::string_view::npos && colon > 0 && (stop == std::string_view::npos || colon < stop) &&
      std::isalpha(static_cast<unsigned char>(url[0]))) {
    p.scheme = std::string(url.substr(0, colon + 1));
    url.remove_prefix(colon + 1);
  }
  if (url.substr(0, 2) == "//") {
    size_t end = url.find_first_of("/?", 2);
    if (end == std::string_view::npos) end = url.size();
    p.authority = std::string(url.substr(0, end));
    url.remove_prefix(end);
  }
  size_t q = url.find('?');
  p.path = std::string(url.substr(0, q));
  if (q != std::string_view::npos) p.query = std::string(url.substr(q));
  return p;
}

}  // namespace

bool SplitUrl(const std::string& url, UrlParts& out) {
  UrlParts parts;
  if (!SplitWebUrl(url, parts) || parts.secure) return false;
  out = std::move(parts);
  return true;
}

bool SplitWebUrl(const std::string& url, UrlParts& out) {
  std::string_view s = url;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  bool secure = false;
  if (StartsWithIgnoringCase(s, "http://")) {
    s.remove_prefix(7);
  } else if (StartsWithIgnoringCase(s, "https://")) {
    s.remove_prefix(8);
    secure = true;
  } else {
    return false;
  }
  size_t end = s.find_first_of("/?#");
  std::string_view authority = s.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view() : s.substr(end);

  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return false;
      port = after.substr(1);
    }
  } else {
    size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      if (host.find(':') != std::string_view::npos) return false;
    }
  }
  if (host.empty()) return false;
  for (char c : host)
    if (BadHostByte(static_cast<unsigned char>(c))) return false;

  int portValue = secure ? 443 : 80;
  if (!port.empty()) {
    if (port.size() > 5) return false;
    portValue = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return false;
      portValue = portValue * 10 + (c - '0');
    }
    if (portValue < 1 || portValue > 65535) return false;
  }

  size_t hash = rest.find('#');
  if (hash != std::string_view::npos) rest = rest.substr(0, hash);
  std::string object(rest);
  if (object.empty() || object[0] == '?') object = "/" + object;

  out.host = std::string(host);
  out.port = portValue;
  out.object = std::move(object);
  out.secure = secure;
  return true;
}

std::string AuthorityOf(const UrlParts& parts) {
  // Appends, not "x" + string: GCC 12 warns falsely (-Wrestrict) on that at -O2.
  std::string host;
  if (parts.host.find(':') != std::string::npos)
    host.append("[").append(parts.host).append("]");
  else
    host = parts.host;
  if (parts.port != (parts.secure ? 443 : 80)) host.append(":").append(std::to_string(parts.port));
  return host;
}

std::string HostForHeader(const UrlParts& parts) {
  return parts.host.find(':') != std::string::npos ? AuthorityOf(parts) : parts.host;
}

std::string EscapeRequestTarget(const std::string& object) {
  return PercentEscape(object, [](unsigned char c) { return c <= 0x20 || c >= 0x7F; });
}

std::string ResolveUrl(const std::string& base, const std::string& ref) {
  std::string_view r = ref;
  while (!r.empty() && (r.front() == ' ' || r.front() == '\t')) r.remove_prefix(1);
  while (!r.empty() && (r.back() == ' ' || r.back() == '\t' || r.back() == '\r' || r.back() == '\n'))
    r.remove_suffix(1);

  Pieces b = Dissect(base);
  Pieces t = Dissect(r);
  if (!t.scheme.empty()) {
    // Absolute: only the dot segments are tidied.
    return t.scheme + t.authority + (t.authority.empty() ? t.path : RemoveDotSegments(t.path)) + t.query;
  }
  std::string scheme = b.scheme.empty() ? std::string("http:") : b.scheme;
  if (!t.authority.empty()) {
    std::string path = RemoveDotSegments(t.path);
    return scheme + t.authority + path + t.query;
  }
  std::string path;
  std::string query;
  if (t.path.empty()) {
    path = b.path;
    query = t.query.empty() ? b.query : t.query;
  } else if (t.path[0] == '/') {
    path = RemoveDotSegments(t.path);
    query = t.query;
  } else {
    std::string merged;
    if (!b.authority.empty() && b.path.empty()) {
      merged = "/" + t.path;
    } else {
      size_t slash = b.path.rfind('/');
      merged = (slash == std::string::npos ? std::string() : b.path.substr(0, slash + 1)) + t.path;
    }
    path = RemoveDotSegments(merged);
    query = t.query;
  }
  if (!b.authority.empty() && (path.empty() || path[0] != '/')) path = "/" + path;
  return scheme + b.authority + path + query;
}
