#pragma once
// Where a connection waits until its request header has arrived whole. One
// thread watches every waiting connection, so a client that sends its
// header a byte at a time holds no worker; only a complete header gets a
// worker from the pool. The gate is the library's task queue: the accept
// loop hands it each new socket, and its shutdown ends the gate and the pool.
#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/RequestLineMender.h"

struct HeaderLimits {
  int maxLines = 100;             // header lines after the request line
  size_t maxBytes = 16 * 1024;    // request line and header lines together
  int headerMs = 10000;           // from a request's first byte to its blank line
  int idleMs = 5000;              // between requests of a kept-alive connection
  size_t maxWaiting = 1024;       // connections waiting at once; more are closed
};

// One client connection and what has been read of it but not yet used.
struct ServerConnection {
  int sock = -1;
  CRequestLineMender mender;
  std::string buffer;  // mended bytes
  size_t at = 0;       // the library has read buffer[0, at)
  size_t served = 0;   // requests answered
  bool started = false;  // a byte of the next request is here
  std::chrono::steady_clock::time_point deadline;
  ~ServerConnection();
};

class CHeaderGate : public httplib::TaskQueue {
 public:
  using Serve = std::function<void(std::unique_ptr<ServerConnection>)>;
  enum class Head { kIncomplete, kComplete, kTooLarge };

  CHeaderGate(const HeaderLimits& limits, size_t workers, Serve serve);
  ~CHeaderGate() override;

  // The accept loop's work item: it only admits the socket, at once.
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override;

  // A fresh connection; the gate owns the socket from here on.
  void Admit(int sock);
  // A connection whose request was answered and that stays open.
  void Return(std::unique_ptr<ServerConnection> c);

  // What buffer holds from at on: a whole header, not yet, or more than the
  // limits allow.
  static Head Examine(const std::string& buffer, size_t at, const HeaderLimits& limits);

 private:
  void Run();
  void Wake();
  // False when the connection is done with (closed or passed on).
  bool Read(std::unique_ptr<ServerConnection>& c);
  bool Settle(std::unique_ptr<ServerConnection>& c);

  const HeaderLimits m_limits;
  const Serve m_serve;
  httplib::ThreadPool m_workers;
  std::mutex m_lock;  // m_incoming, m_bStopped
  std::vector<std::unique_ptr<ServerConnection>> m_incoming;
  bool m_bStopped = false;
  int m_wake[2] = {-1, -1};
  std::thread m_thread;
};
