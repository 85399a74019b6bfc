// The connect step under every download: what the socket it hands on is
// like, and that an address that refuses gives way to the next.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine/Common.h"
#include "engine/http/TcpConnector.h"

namespace {

sockaddr_storage V4(const char* address) {
  sockaddr_storage s{};
  auto* a = reinterpret_cast<sockaddr_in*>(&s);
  a->sin_family = AF_INET;
  inet_pton(AF_INET, address, &a->sin_addr);
  return s;
}

// A listener on 127.0.0.1 only, so 127.0.0.2 refuses on the same port.
class Listener {
 public:
  Listener() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage s = V4("127.0.0.1");
    socklen_t len = sizeof(sockaddr_in);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&s), len) == 0 && listen(m_fd, 8) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&s), &len) == 0)
      m_port = ntohs(reinterpret_cast<sockaddr_in*>(&s)->sin_port);
  }
  ~Listener() { close(m_fd); }
  int port() const { return m_port; }

 private:
  int m_fd = -1;
  int m_port = 0;
};

TEST(TcpConnectorTest, ConnectedSocketIsBlockingCloseOnExecAndSendsWithoutDelay) {
  Listener l;
  ASSERT_GT(l.port(), 0);
  TcpResult r = CTcpConnector::Connect({V4("127.0.0.1")}, l.port(), GetTickMs() + 5000, nullptr);
  ASSERT_EQ(r.kind, TcpResult::kConnected);
  EXPECT_EQ(fcntl(r.fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(r.fd, F_GETFD) & FD_CLOEXEC, 0);
  // TLS writes its handshake's last flight and the request apart; with
  // Nagle's wait the request would sit out the server's delayed ACK.
  int noDelay = 0;
  socklen_t len = sizeof noDelay;
  ASSERT_EQ(getsockopt(r.fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len), 0);
  EXPECT_NE(noDelay, 0);
  close(r.fd);
}

TEST(TcpConnectorTest, RefusingAddressGivesWayToTheNextAndAllRefusingFailsWithTheReason) {
  Listener l;
  ASSERT_GT(l.port(), 0);
  TcpResult r = CTcpConnector::Connect({V4("127.0.0.2"), V4("127.0.0.1")}, l.port(), GetTickMs() + 5000, nullptr);
  ASSERT_EQ(r.kind, TcpResult::kConnected);
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  ASSERT_EQ(getpeername(r.fd, reinterpret_cast<sockaddr*>(&peer), &len), 0);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
  EXPECT_EQ(std::string(text), "127.0.0.1");
  close(r.fd);

  r = CTcpConnector::Connect({V4("127.0.0.2"), V4("127.0.0.3")}, l.port(), GetTickMs() + 5000, nullptr);
  EXPECT_EQ(r.kind, TcpResult::kFailed);
  EXPECT_EQ(r.err, ECONNREFUSED);
  EXPECT_LT(r.fd, 0);
}

}  // namespace
