#include "engine/http/RequestRoute.h"

CRequestRoute CRequestRoute::For(const UrlParts& target) {
  CRequestRoute r;
  r.m_target = target;
  r.m_proxy = ChooseProxy((target.secure ? "https://" : "http://") + AuthorityOf(target) + "/");
  return r;
}

CRequestRoute CRequestRoute::Direct(const std::string& host, int port) {
  CRequestRoute r;
  r.m_target.host = host;
  r.m_target.port = port;
  return r;
}

std::string CRequestRoute::RequestTarget(const std::string& object) const {
  if (!AbsoluteForm()) return object;
  return "http://" + AuthorityOf(m_target) + object;
}

std::string CRequestRoute::ProxyHeaders() const {
  if (!AbsoluteForm()) return std::string();
  const std::string auth = m_proxy.Authorization();
  return auth.empty() ? std::string() : "Proxy-Authorization:" + auth + "\r\n";
}

std::string CRequestRoute::Key() const {
  std::string key = (m_target.secure ? "https " : "http ") + m_target.host + " " + std::to_string(m_target.port);
  if (!m_proxy.direct) key += " via " + m_proxy.HostPort() + " " + m_proxy.user + ":" + m_proxy.password;
  return key;
}
