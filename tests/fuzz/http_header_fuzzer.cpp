// The reply header as a server sends it, through the engine's own reader on
// a real loopback connection, then the status and header lookups the engine
// relies on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <string>
#include "engine/http/HttpSocket.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

int Listener(int& port) {
  static int fd = -1;
  static int bound = 0;
  if (fd < 0) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      abort();
    bound = ntohs(a.sin_port);
  }
  port = bound;
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  int port = 0;
  const int listener = Listener(port);
  CHttpSocket s(nullptr);
  if (!s.Connect("127.0.0.1", port)) abort();
  const int peer = accept(listener, nullptr, nullptr);
  if (peer < 0) abort();
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = write(peer, data + sent, size - sent);
    if (n <= 0) abort();
    sent += static_cast<size_t>(n);
  }
  shutdown(peer, SHUT_WR);

  (void)s.ReadHeader();
  if (s.m_nHeaderLength < 0 || s.m_nHeaderLength > static_cast<int>(sizeof s.m_szHeader)) abort();
  const int code = s.GetStatusCode();
  if (code < 0 || code > 999) abort();
  static const char* const kNames[] = {"Content-Length", "Content-Range", "Content-Type",
                                       "Location",       "Transfer-Encoding", "Connection",
                                       "ETag",           "Last-Modified", "Content-Encoding"};
  for (const char* name : kNames) {
    std::string value;
    for (int max : {0, 1, 16, 1024}) {
      const int n = s.GetHeaderValue(name, value, max);
      if (n >= 0 && max > 0 && static_cast<int>(value.size()) > max) abort();
    }
  }
  s.Close();
  close(peer);
  return 0;
}
