#include "engine/http/ProxyChoice.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "engine/http/HexDigit.h"
#include "engine/TextRules.h"
#include "engine/http/Url.h"
#include "engine/http/NetworkOptions.h"

namespace {

std::string Base64(const std::string& in) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}


std::string PercentDecode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexDigitValue(s[i + 1]) >= 0 && HexDigitValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(s[i + 1]) * 16 + HexDigitValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// An address as bytes (4 or 16 of them); false for a name.
bool AddressBytes(const std::string& host, unsigned char out[16], int& size) {
  if (::inet_pton(AF_INET, host.c_str(), out) == 1) {
    size = 4;
    return true;
  }
  if (::inet_pton(AF_INET6, host.c_str(), out) == 1) {
    size = 16;
    return true;
  }
  return false;
}

bool PrefixMatches(const unsigned char* a, const unsigned char* b, int bits) {
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    const unsigned char mask = bits >= 8 ? 0xFF : static_cast<unsigned char>(0xFF << (8 - bits));
    if ((a[i] & mask) != (b[i] & mask)) return false;
  }
  return true;
}

// One no_proxy entry against a lower-case host: names match themselves and
// every name below them ("example.com" and ".example.com" both cover
// "a.example.com"); addresses match exactly or by a "/bits" prefix.
bool EntryMatches(const std::string& host, std::string entry) {
  if (entry.size() > 1 && entry.front() == '[') {
    const size_t close = entry.find(']');
    if (close != std::string::npos) entry = entry.substr(1, close - 1) + entry.substr(close + 1);
  }
  unsigned char hostAddr[16];
  int hostSize = 0;
  if (AddressBytes(host, hostAddr, hostSize)) {
    int bits = hostSize * 8;
    const size_t slash = entry.find('/');
    if (slash != std::string::npos) {
      bits = std::atoi(entry.c_str() + slash + 1);
      entry.erase(slash);
    }
    unsigned char entryAddr[16];
    int entrySize = 0;
    if (!AddressBytes(entry, entryAddr, entrySize) || entrySize != hostSize) return false;
    if (bits < 0 || bits > hostSize * 8) return false;
    return PrefixMatches(hostAddr, entryAddr, bits);
  }
  while (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
  while (!entry.empty() && entry.back() == '.') entry.pop_back();
  if (entry.empty()) return false;
  if (host == entry) return true;
  return host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
         host[host.size() - entry.size() - 1] == '.';
}

bool NoProxyCovers(const std::string& host, std::string_view list) {
  list = TrimChars(list, kWhiteSpaceChars);
  if (list == "*") return true;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find_first_of(", \t", pos);
    if (end == std::string_view::npos) end = list.size();
    if (end > pos && EntryMatches(host, AsciiLower(list.substr(pos, end - pos)))) return true;
    pos = end + 1;
  }
  return false;
}

const char* FirstSet(const EnvLookup& env, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* v = env(name);
    if (v && *v) return v;
  }
  return nullptr;
}

// "[http://][user[:password]@]host[:port][/...]".
ProxyChoice ReadProxy(std::string_view value) {
  ProxyChoice choice;
  choice.direct = false;
  value = TrimChars(value, kWhiteSpaceChars);
  const size_t sep = value.find("://");
  std::string scheme = "http";
  if (sep != std::string_view::npos) {
    scheme = AsciiLower(value.substr(0, sep));
    value.remove_prefix(sep + 3);
  }
  value = value.substr(0, value.find_first_of("/?#"));
  const size_t at = value.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view info = value.substr(0, at);
    const size_t colon = info.find(':');
    choice.user = PercentDecode(info.substr(0, colon));
    if (colon != std::string_view::npos) choice.password = PercentDecode(info.substr(colon + 1));
    value.remove_prefix(at + 1);
  }
  UrlParts parts;
  if (!SplitWebUrl("http://" + std::string(value), parts)) {
    choice.fault = "proxy address cannot be read";
    return choice;
  }
  choice.host = parts.host;
  const size_t close = value.rfind(']');
  const size_t colon = value.rfind(':');
  const bool portGiven = colon != std::string_view::npos && (close == std::string_view::npos || colon > close);
  choice.port = portGiven ? parts.port : 1080;
  if (scheme != "http") choice.fault = "unsupported proxy scheme '" + scheme + "'";
  return choice;
}

}  // namespace

std::string ProxyChoice::HostPort() const {
  const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return h + ":" + std::to_string(port);
}

std::string ProxyChoice::Authorization() const {
  if (direct || user.empty()) return std::string();
  return "Basic " + Base64(user + ":" + password);
}

bool IsLoopbackHost(const std::string& hostIn) {
  std::string host = AsciiLower(hostIn);
  while (!host.empty() && host.back() == '.') host.pop_back();
  if (host == "localhost") return true;
  if (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0) return true;
  unsigned char addr[16];
  int size = 0;
  if (!AddressBytes(host, addr, size)) return false;
  if (size == 4) return addr[0] == 127;
  static const unsigned char kLoop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(addr, kLoop6, 16) == 0) return true;
  return std::memcmp(addr, kMapped, 12) == 0 && addr[12] == 127;
}

ProxyChoice ChooseProxyWith(const std::string& url, const std::string& configured, const EnvLookup& env) {
  ProxyChoice direct;
  UrlParts target;
  if (!SplitWebUrl(url, target)) return direct;
  const std::string host = AsciiLower(target.host);
  if (IsLoopbackHost(host)) return direct;
  const std::string setting = TrimWhiteSpace(configured);
  if (AsciiLower(setting) == "none") return direct;
  if (const char* noProxy = FirstSet(env, {"no_proxy", "NO_PROXY"}); noProxy && NoProxyCovers(host, noProxy))
    return direct;
  if (!setting.empty()) return ReadProxy(setting);
  // Upper-case HTTP_PROXY is not read: a CGI program gets the client's
  // "Proxy:" header under that name.
  const char* value = target.secure ? FirstSet(env, {"https_proxy", "HTTPS_PROXY"}) : FirstSet(env, {"http_proxy"});
  if (!value) value = FirstSet(env, {"all_proxy", "ALL_PROXY"});
  if (!value) return direct;
  return ReadProxy(value);
}

ProxyChoice ChooseProxy(const std::string& url) {
  return ChooseProxyWith(url, GetNetworkOptions().proxy, [](const char* name) { return std::getenv(name); });
}
