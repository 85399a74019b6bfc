#include "engine/http/RangeRead.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "engine/Common.h"
#include "engine/http/HttpFraming.h"
#include "engine/http/HttpSocket.h"
#include "engine/http/RequestAuth.h"
#include "engine/http/Url.h"

namespace {

bool Fetch(CHttpSocket& s, const std::string& url, long long from, size_t count, std::string& out) {
  UrlParts parts;
  if (!SplitUrl(url, parts) || from <= 0 || from + static_cast<long long>(count) > INT_MAX || count == 0) return false;
  const int first = static_cast<int>(from), last = static_cast<int>(from + static_cast<long long>(count) - 1);
  if (!s.BuildRequest(parts.host, CRequestAuth::Decorate(parts.host, parts.port, parts.object), nullptr, nullptr,
                      first, last) ||
      !s.Connect(parts.host, parts.port) || !s.SendRequest() || s.GetStatusCode() != 206)
    return false;
  std::string value;
  // Only a plain body from the asked byte is of use.
  if (s.GetHeaderValue("Transfer-Encoding", value, 100) >= 0 || s.GetHeaderValue("Content-Encoding", value, 100) >= 0)
    return false;
  if (s.GetHeaderValue("Content-Range", value, 100) < 0 ||
      value.find("bytes " + std::to_string(first) + "-") != 0)
    return false;
  long long want = static_cast<long long>(count);
  if (s.GetHeaderValue("Content-Length", value, 100) >= 0) {
    long long told = -1;
    if (!ParseContentLength(value, told)) return false;
    want = std::min(want, told);
  }
  char buf[4096];
  const long long deadline = GetTickMs() + std::min(GetTimeOut.load(), 2) * 1000LL;
  while (static_cast<long long>(out.size()) < want) {
    const long long wait = deadline - GetTickMs();
    if (wait <= 0) break;
    pollfd p{s.m_socket, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(wait));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    const size_t cap = static_cast<size_t>(std::min<long long>(sizeof buf, want - static_cast<long long>(out.size())));
    const ssize_t n = ::recv(s.m_socket, buf, cap, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return !out.empty();
}

}  // namespace

bool ReadRange(CHttpSocket& socket, const std::string& url, long long from, size_t count, std::string& out) {
  out.clear();
  bool ok = false;
  try {
    ok = Fetch(socket, url, from, count, out);
  } catch (...) {
    ok = false;
  }
  socket.Close();
  return ok;
}
