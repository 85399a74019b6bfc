// The reply header as a server sends it, through the engine's own reader on
// a real loopback connection, then the status and header lookups the engine
// relies on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <string>
#include "engine/Common.h"
#include "engine/http/Connection.h"
#include "engine/http/Reply.h"
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
  CConnection conn;
  if (!conn.Open(CRequestRoute::Direct("127.0.0.1", port), GetTickMs() + 5000, [] { return false; }, false))
    abort();
  const int peer = accept(listener, nullptr, nullptr);
  if (peer < 0) abort();
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = write(peer, data + sent, size - sent);
    if (n <= 0) abort();
    sent += static_cast<size_t>(n);
  }
  shutdown(peer, SHUT_WR);

  static char header[16 * 1024];
  int length = -1, err = 0;
  (void)Reply::ReadFrom(conn, header, sizeof header, length, err);
  if (length < 0 || length > static_cast<int>(sizeof header)) abort();
  const Reply s(header, static_cast<size_t>(length));
  const int code = s.Status();
  if (code < 0 || code > 999) abort();
  static const char* const kNames[] = {"Content-Length", "Content-Range", "Content-Type",
                                       "Location",       "Transfer-Encoding", "Connection",
                                       "ETag",           "Last-Modified", "Content-Encoding"};
  for (const char* name : kNames) {
    std::string value;
    for (int max : {0, 1, 16, 1024}) {
      const int n = s.Value(name, value, max);
      if (n >= 0 && max > 0 && static_cast<int>(value.size()) > max) abort();
    }
  }
  long long n = s.ContentLength();
  if (n < Reply::kUnreadable) abort();
  const BodyFraming f = s.Framing();
  if (f.coding == BodyCoding::kChunked && f.length != -1) abort();
  conn.Close();
  close(peer);
  return 0;
}
