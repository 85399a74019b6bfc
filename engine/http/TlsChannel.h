#pragma once
// TLS over a connected socket, for the connection layer only: the request,
// reply and body code above reads and writes plain bytes through it.
// Verification is always on: the system's trust store (SSL_CERT_FILE and
// SSL_CERT_DIR honoured), plus the user's trust file from NetworkOptions;
// the certificate must name the host (or IP address) of the URL. Sessions
// are kept per host and port, so the blocks of one job resume the first
// connection's session instead of each paying a full handshake.
#include <sys/types.h>

#include <functional>
#include <string>

struct ssl_st;

struct TlsFault {
  bool certificate = false;  // the server's certificate was refused
  std::string reason;        // OpenSSL's words for it, e.g. "certificate has expired"
};

class CTlsChannel {
 public:
  CTlsChannel() = default;
  ~CTlsChannel();
  CTlsChannel(const CTlsChannel&) = delete;
  CTlsChannel& operator=(const CTlsChannel&) = delete;

  // Over fd (connected, blocking; not owned). False with fault filled, or
  // with an empty fault when abandon() said to stop or the deadline passed
  // (timedOut set then).
  bool Handshake(int fd, const std::string& host, int port, long long deadlineMs,
                 const std::function<bool()>& abandon, TlsFault& fault, bool& timedOut);
  // As send(2)/recv(2) on a blocking socket with its time-outs: n > 0, 0 at
  // the peer's close, -1 with errno (EAGAIN when dontWait found nothing).
  ssize_t Write(const void* data, size_t size);
  ssize_t Read(void* data, size_t size, bool dontWait);
  // Decrypted bytes waiting inside the channel, which poll(2) cannot see.
  bool HasBuffered() const;
  // Whether the last handshake resumed a kept session.
  bool Resumed() const;
  void Reset();

  // Forgets every kept session (a new trust setting, or a test).
  static void ForgetSessions();

 private:
  ssl_st* m_ssl = nullptr;
  int m_fd = -1;
};
