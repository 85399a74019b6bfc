#include "engine/http/TlsChannel.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <map>
#include <mutex>

#include "engine/Common.h"
#include "engine/http/NetworkOptions.h"

namespace {

// One client context per trust setting; rebuilt when the setting changes.
struct ContextCache {
  std::mutex lock;
  SSL_CTX* ctx = nullptr;
  std::string key;
  std::map<std::string, SSL_SESSION*> sessions;  // "host:port" -> kept session
};

ContextCache& Cache() {
  static ContextCache* cache = new ContextCache;  // lives to the end: threads may still use it
  return *cache;
}

int g_keyIndex = -1;

void FreeKey(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) { delete static_cast<std::string*>(ptr); }

// Called by OpenSSL when a server hands out a session (for TLS 1.3, after
// the handshake, while reading).
int KeepSession(SSL* ssl, SSL_SESSION* session) {
  auto* key = static_cast<std::string*>(SSL_get_ex_data(ssl, g_keyIndex));
  if (!key || SSL_get_verify_result(ssl) != X509_V_OK) return 0;
  ContextCache& c = Cache();
  std::lock_guard<std::mutex> g(c.lock);
  if (SSL_get_SSL_CTX(ssl) != c.ctx) return 0;  // made under an older trust setting
  // A copy: OpenSSL marks the connection's own session unusable when that
  // connection ends in an error (a block cut short, a stop), which must not
  // cost the job's other connections their resumption.
  SSL_SESSION* copy = SSL_SESSION_dup(session);
  if (!copy) return 0;
  SSL_SESSION*& slot = c.sessions[*key];
  if (slot) SSL_SESSION_free(slot);
  slot = copy;
  return 0;  // the original stays the connection's
}

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

void DropSessions(ContextCache& c) {
  for (auto& [key, session] : c.sessions) SSL_SESSION_free(session);
  c.sessions.clear();
}

// The context for the current trust setting, with a reference for the
// caller; null when none can be made.
SSL_CTX* CurrentContext(std::string& error) {
  const std::string caFile = GetNetworkOptions().caFile;
  const std::string key = caFile + '\n' + EnvOrEmpty("SSL_CERT_FILE") + '\n' + EnvOrEmpty("SSL_CERT_DIR");
  ContextCache& c = Cache();
  std::lock_guard<std::mutex> g(c.lock);
  if (!c.ctx || c.key != key) {
    if (g_keyIndex < 0) g_keyIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeKey);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
      error = "cannot set up TLS";
      return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(ctx);
    if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
      ERR_clear_error();
      SSL_CTX_free(ctx);
      error = "cannot read the trust file " + caFile;
      return nullptr;
    }
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, KeepSession);
    SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
    if (c.ctx) SSL_CTX_free(c.ctx);
    DropSessions(c);
    c.ctx = ctx;
    c.key = key;
  }
  SSL_CTX_up_ref(c.ctx);
  return c.ctx;
}

SSL_SESSION* KeptSession(const std::string& key) {
  ContextCache& c = Cache();
  std::lock_guard<std::mutex> g(c.lock);
  auto it = c.sessions.find(key);
  if (it == c.sessions.end()) return nullptr;
  SSL_SESSION_up_ref(it->second);
  return it->second;
}

bool IsAddress(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string LastErrorText() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "the TLS handshake failed";
  const char* reason = ERR_reason_error_string(e);
  return reason ? reason : "the TLS handshake failed";
}

// OpenSSL's own socket calls write(2), and a peer that has gone would
// raise SIGPIPE (even a read may send an alert). This BIO speaks to the
// socket with send(MSG_NOSIGNAL) and recv instead.
int SocketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int BioWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::send(SocketOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::recv(SocketOf(bio), data, static_cast<size_t>(size), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "engine socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, BioCreate);
    return m;
  }();
  return method;
}

}  // namespace

CTlsChannel::~CTlsChannel() { Reset(); }

void CTlsChannel::Reset() {
  if (m_ssl) {
    // Connections end without a closing alert (a body cut short, a
    // connection let go); OpenSSL would take that as a reason to stop
    // resuming the session, which the job's next connection wants.
    SSL_set_shutdown(m_ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    SSL_free(m_ssl);
  }
  m_ssl = nullptr;
  m_fd = -1;
}

void CTlsChannel::ForgetSessions() {
  ContextCache& c = Cache();
  std::lock_guard<std::mutex> g(c.lock);
  DropSessions(c);
}

bool CTlsChannel::Handshake(int fd, const std::string& host, int port, long long deadlineMs,
                            const std::function<bool()>& abandon, TlsFault& fault, bool& timedOut) {
  Reset();
  fault = TlsFault{};
  timedOut = false;
  std::string error;
  SSL_CTX* ctx = CurrentContext(error);
  if (!ctx) {
    fault.reason = error;
    return false;
  }
  m_ssl = SSL_new(ctx);
  SSL_CTX_free(ctx);  // the SSL holds its own reference
  BIO* bio = m_ssl ? BIO_new(SocketMethod()) : nullptr;
  if (!bio) {
    fault.reason = "cannot set up TLS";
    Reset();
    return false;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(m_ssl, bio, bio);
  m_fd = fd;
  const std::string key = host + ":" + std::to_string(port);
  SSL_set_ex_data(m_ssl, g_keyIndex, new std::string(key));
  if (IsAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), host.c_str());
  } else {
    SSL_set_tlsext_host_name(m_ssl, host.c_str());
    SSL_set1_host(m_ssl, host.c_str());
  }
  if (SSL_SESSION* kept = KeptSession(key)) {
    SSL_set_session(m_ssl, kept);
    SSL_SESSION_free(kept);
  }

  const int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  bool ok = false;
  for (;;) {
    const int r = SSL_connect(m_ssl);
    if (r == 1) {
      ok = true;
      break;
    }
    const int e = SSL_get_error(m_ssl, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      const long verify = SSL_get_verify_result(m_ssl);
      if (verify != X509_V_OK) {
        fault.certificate = true;
        fault.reason = X509_verify_cert_error_string(verify);
        ERR_clear_error();
      } else {
        fault.reason = LastErrorText();
      }
      break;
    }
    // Short slices: a Stop must not wait out a server that stalls mid-handshake.
    bool waited = false;
    while (!waited) {
      if (abandon && abandon()) break;
      const long long left = deadlineMs - GetTickMs();
      if (left <= 0) {
        timedOut = true;
        break;
      }
      pollfd p{fd, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
      const int pr = ::poll(&p, 1, static_cast<int>(left < 50 ? left : 50));
      if (pr > 0) waited = true;
      if (pr < 0 && errno != EINTR) break;
    }
    if (!waited) break;
  }
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (!ok) Reset();
  return ok;
}

ssize_t CTlsChannel::Write(const void* data, size_t size) {
  if (!m_ssl) {
    errno = ENOTCONN;
    return -1;
  }
  if (size == 0) return 0;
  const int n = SSL_write(m_ssl, data, size > INT32_MAX ? INT32_MAX : static_cast<int>(size));
  if (n > 0) return n;
  const int e = SSL_get_error(m_ssl, n);
  ERR_clear_error();
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
    if (errno != EINTR) errno = EAGAIN;
    return -1;
  }
  errno = EPIPE;
  return -1;
}

ssize_t CTlsChannel::Read(void* data, size_t size, bool dontWait) {
  if (!m_ssl) {
    errno = ENOTCONN;
    return -1;
  }
  if (dontWait && SSL_pending(m_ssl) == 0) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) {
      errno = EAGAIN;
      return -1;
    }
  }
  const int n = SSL_read(m_ssl, data, size > INT32_MAX ? INT32_MAX : static_cast<int>(size));
  if (n > 0) return n;
  const int e = SSL_get_error(m_ssl, n);
  ERR_clear_error();
  if (e == SSL_ERROR_ZERO_RETURN) return 0;
  // The socket's receive time-out, or a signal: the record state is kept,
  // so the caller may read again.
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
    if (errno != EINTR) errno = EAGAIN;
    return -1;
  }
  // A peer that closes without saying so, or a broken record: no more bytes
  // from here, and not the clean end that would close a body.
  errno = ECONNRESET;
  return -1;
}

bool CTlsChannel::HasBuffered() const { return m_ssl && SSL_pending(m_ssl) > 0; }

bool CTlsChannel::Resumed() const { return m_ssl && SSL_session_reused(m_ssl) == 1; }
