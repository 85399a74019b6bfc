// The reply header as a server sends it, through the engine's own reader on
// a real socket, then the status and header lookups the engine relies on.
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <string>
#include "engine/HttpSocket.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = write(fds[1], data + sent, size - sent);
    if (n <= 0) abort();
    sent += static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);

  CHttpSocket s(nullptr);
  s.m_socket = fds[0];
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
  close(fds[0]);
  close(fds[1]);
  s.m_socket = 0;
  return 0;
}
