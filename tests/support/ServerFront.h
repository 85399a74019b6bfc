#pragma once
// The scripted server's TLS and IPv6 face: a listener that takes
// connections (TLS ones when given a certificate) and carries each one's
// bytes to and from a plain connection of its own to the scripted server,
// so every route, fault and request log of that server serves https and
// IPv6 tests unchanged (one backend connection per client connection, so
// connection numbers keep their meaning).
//
//   vtest::ScriptedServer srv;
//   vtest::TestCa ca(home.root());
//   vtest::ServerFront tls(srv.port(), "127.0.0.1", ca.Issue("local", {"localhost"}, {"127.0.0.1"}));
//   tls.url("/a.mp3") == "https://127.0.0.1:PORT/a.mp3"
//   vtest::ServerFront v6(srv.port(), "::1");  // plain http on [::1]
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/TestCa.h"

namespace vtest {

class ServerFront {
 public:
  // bindAddress "127.0.0.1" or "::1"; without a certificate it speaks
  // plain http.
  ServerFront(int backendPort, const std::string& bindAddress, const std::optional<CertFiles>& cert = std::nullopt);
  ~ServerFront();
  ServerFront(const ServerFront&) = delete;
  ServerFront& operator=(const ServerFront&) = delete;

  int port() const { return m_port; }
  // "https://127.0.0.1:PORT" + path ("http:" without TLS, "[::1]" on IPv6).
  std::string url(const std::string& path) const;
  // Completed handshakes: full ones, and those that resumed a session.
  int fullHandshakes() const { return m_full.load(); }
  int resumed() const { return m_resumed.load(); }
  int handshakes() const { return fullHandshakes() + resumed(); }
  // Connections accepted, whatever became of them.
  int accepted() const { return m_accepted.load(); }
  // While set, connections are accepted and then never answered: a client
  // waits in its handshake.
  void setSilent(bool silent) { m_silent = silent; }

 private:
  struct Conn {
    int client = -1;
    int backend = -1;
    std::thread th;
  };
  void acceptLoop();
  void serve(Conn* c);
  void pump(Conn* c, void* ssl);

  int m_backendPort;
  std::string m_bind;
  int m_listen = -1;
  int m_port = 0;
  void* m_ctx = nullptr;  // SSL_CTX
  std::thread m_accept;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_silent{false};
  std::atomic<int> m_full{0};
  std::atomic<int> m_resumed{0};
  std::atomic<int> m_accepted{0};
  std::mutex m_lock;
  std::list<std::unique_ptr<Conn>> m_conns;
};

}  // namespace vtest
