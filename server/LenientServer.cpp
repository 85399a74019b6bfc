#include "server/LenientServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <cstdlib>

namespace {

bool WaitFor(int sock, short events, time_t sec, time_t usec) {
  pollfd p = {sock, events, 0};
  const long long ms = static_cast<long long>(sec) * 1000 + usec / 1000;
  int r;
  do {
    r = poll(&p, 1, static_cast<int>(std::min<long long>(ms, 1 << 30)));
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

void Address(const sockaddr_storage& addr, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    port = ntohs(a->sin6_port);
  }
  ip = text;
}

// The library's socket stream, reading through the mender.
class CMendingStream : public httplib::Stream {
 public:
  CMendingStream(int sock, time_t readSec, time_t readUsec, time_t writeSec, time_t writeUsec)
      : m_sock(sock), m_readSec(readSec), m_readUsec(readUsec), m_writeSec(writeSec), m_writeUsec(writeUsec) {}

  bool HasBuffered() const { return m_at < m_buffer.size(); }

  bool is_readable() const override { return HasBuffered() || WaitFor(m_sock, POLLIN, m_readSec, m_readUsec); }
  bool is_writable() const override { return WaitFor(m_sock, POLLOUT, m_writeSec, m_writeUsec); }

  ssize_t read(char* ptr, size_t size) override {
    while (!HasBuffered()) {
      if (!WaitFor(m_sock, POLLIN, m_readSec, m_readUsec)) return -1;
      char raw[4096];
      ssize_t n;
      do {
        n = recv(m_sock, raw, sizeof raw, 0);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      m_buffer.erase(0, m_at);
      m_at = 0;
      m_mender.Feed(raw, static_cast<size_t>(n), m_buffer);
    }
    const size_t n = std::min(size, m_buffer.size() - m_at);
    m_buffer.copy(ptr, n, m_at);
    m_at += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do {
      n = send(m_sock, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr = {};
    socklen_t len = sizeof addr;
    if (getpeername(m_sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Address(addr, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr = {};
    socklen_t len = sizeof addr;
    if (getsockname(m_sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Address(addr, ip, port);
  }
  socket_t socket() const override { return m_sock; }

 private:
  int m_sock;
  time_t m_readSec, m_readUsec, m_writeSec, m_writeUsec;
  CRequestLineMender m_mender;
  std::string m_buffer;
  size_t m_at = 0;
};

}  // namespace

void CRequestLineMender::Feed(const char* data, size_t size, std::string& out) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    switch (m_state) {
      case State::kPassThrough:
        out.append(data + i, size - i);
        return;
      case State::kBody: {
        const size_t n = static_cast<size_t>(std::min<long long>(m_nBodyLeft, static_cast<long long>(size - i)));
        out.append(data + i, n);
        m_nBodyLeft -= static_cast<long long>(n);
        i += n - 1;
        if (m_nBodyLeft == 0) m_state = State::kRequestLine;
        break;
      }
      case State::kRequestLine:
        if (c == '\n') {
          m_state = State::kHeaders;
          m_strLine.clear();
          m_nContentLength = 0;
          m_bChunked = false;
        } else if (c == ' ') {
          ++m_nSpaces;
        } else if (c == '?' && m_nSpaces == 1) {
          if (m_bQuery) {
            out += "%3F";
            continue;
          }
          m_bQuery = true;
        }
        out += c;
        break;
      case State::kHeaders:
        out += c;
        if (c == '\n') {
          EndHeaderLine();
        } else if (m_strLine.size() < 8192) {
          m_strLine += c;
        }
        break;
    }
  }
}

void CRequestLineMender::EndHeaderLine() {
  std::string line = m_strLine;
  m_strLine.clear();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!line.empty()) {
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
    if (name == "content-length") m_nContentLength = std::max(0LL, std::atoll(value.c_str()));
    if (name == "transfer-encoding") m_bChunked = true;
    return;
  }
  // The blank line: the body, if any, then the next request.
  m_nSpaces = 0;
  m_bQuery = false;
  if (m_bChunked) {
    m_state = State::kPassThrough;
  } else if (m_nContentLength > 0) {
    m_nBodyLeft = m_nContentLength;
    m_state = State::kBody;
  } else {
    m_state = State::kRequestLine;
  }
}

// In short slices, so a stopping server does not wait out a quiet client.
bool CLenientServer::WaitForNextRequest(socket_t sock) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
  while (svr_sock_ != INVALID_SOCKET) {
    if (WaitFor(sock, POLLIN, 0, 100000)) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
  }
  return false;
}

bool CLenientServer::process_and_close_socket(socket_t sock) {
  CMendingStream stream(sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_, write_timeout_usec_);
  bool ret = false;
  // The library's keep-alive loop: as many requests as allowed while the
  // client sends another one within the keep-alive time and we still run.
  for (size_t count = keep_alive_max_count_; count > 0 && svr_sock_ != INVALID_SOCKET; --count) {
    if (!stream.HasBuffered() && !WaitForNextRequest(sock)) break;
    bool closed = false;
    ret = process_request(stream, count == 1, closed, nullptr);
    if (!ret || closed) break;
  }
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return ret;
}
