#pragma once
// One line per request: time, method, target, range, status, body bytes
// actually sent. Safe to call from every connection thread.
#include <cstdio>
#include <mutex>
#include <string>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

class CRequestLog {
 public:
  CRequestLog();
  ~CRequestLog();
  CRequestLog(const CRequestLog&) = delete;
  CRequestLog& operator=(const CRequestLog&) = delete;

  // Empty path: stderr. False when the file cannot be opened for appending.
  bool Open(const std::string& path);
  void Write(const httplib::Request& req, const httplib::Response& res);

  // Streamed bodies count what they really sent on the connection's thread;
  // the line is written on the same thread once the answer is done.
  static void BeginStream();
  static void CountStreamed(size_t bytes);

 private:
  std::mutex m_lock;
  FILE* m_file = nullptr;
  bool m_bOwnsFile = false;
};
