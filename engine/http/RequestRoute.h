#pragma once
// The way one request reaches its server: straight, through an http proxy
// in absolute form, or through a proxy tunnel (CONNECT) for https. Decided
// before the request is written, since the request line and its headers
// depend on it.
#include <string>

#include "engine/http/Url.h"
#include "engine/http/ProxyChoice.h"

class CRequestRoute {
 public:
  CRequestRoute() = default;
  // Consults the proxy setting for the target.
  static CRequestRoute For(const UrlParts& target);
  // Straight to host:port over plain TCP, whatever the proxy setting.
  static CRequestRoute Direct(const std::string& host, int port);

  const UrlParts& Target() const { return m_target; }
  const ProxyChoice& Proxy() const { return m_proxy; }
  // An http request through a proxy names the whole address.
  bool AbsoluteForm() const { return !m_proxy.direct && !m_target.secure; }
  bool Tunnelled() const { return !m_proxy.direct && m_target.secure; }
  // The request line's target for object (path with query).
  std::string RequestTarget(const std::string& object) const;
  // Header lines the proxy needs on each request ("" when none).
  std::string ProxyHeaders() const;
  // Two routes with one key can share a connection.
  std::string Key() const;

 private:
  UrlParts m_target;
  ProxyChoice m_proxy;
};
