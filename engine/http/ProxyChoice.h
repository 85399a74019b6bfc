#pragma once
// Which proxy, if any, a connection to a URL goes through. The environment
// is read as curl reads it, so a user's shell settings mean the same here as
// in the tools they already use; the page fetcher and the download engine
// ask the same function and so always agree.
#include <functional>
#include <string>

struct ProxyChoice {
  bool direct = true;
  std::string host;  // without brackets for an IPv6 literal
  int port = 1080;
  std::string user;  // percent-decoded
  std::string password;
  // Set when a proxy is asked for but cannot be used (a scheme other than
  // http, an address that cannot be read); the connection then fails rather
  // than quietly going direct.
  std::string fault;

  // "host:port", an IPv6 host in brackets; what CONNECT and libcurl take.
  std::string HostPort() const;
  // "Basic <base64>" when the proxy has a user, else "".
  std::string Authorization() const;
};

// For url (http:// or https://), from the NetworkOptions proxy and the
// process environment.
ProxyChoice ChooseProxy(const std::string& url);

// The same rules with the configured value and the environment given.
using EnvLookup = std::function<const char*(const char* name)>;
ProxyChoice ChooseProxyWith(const std::string& url, const std::string& configured, const EnvLookup& env);

// True for names and addresses that never leave the machine.
bool IsLoopbackHost(const std::string& host);
