#pragma once
// A small scripted HTTP/1.1 server on 127.0.0.1 for tests.
//
// It listens on an ephemeral port, runs an accept thread and one thread per
// connection, serves several requests per connection (keep-alive) and stops
// and joins everything promptly in its destructor, even while a connection
// is stalled or dripping. Every socket call is bounded.
//
// Routes are matched by exact target (path with query) first, then by the
// longest prefix route. Unknown targets get a 404 with a short body. Routes
// may be replaced at any time from the test thread.
//
//   vtest::ScriptedServer srv;
//   srv.route("/a.mp3", vtest::Route::File(vtest::RandomBytes(5000)));
//   vtest::Route r = vtest::Route::File(body);
//   r.faults.closeAfterBodyBytes = 100;      // faults combine freely
//   srv.route("/b.mp3", r);
//   srv.route("/old", vtest::Route::Redirect(302, "/a.mp3"));
//   srv.route("/raw", vtest::Route::Raw("HTTP/1.1 404 Not Found\r\n\r\n"));
//   ... srv.url("/a.mp3") == "http://127.0.0.1:PORT/a.mp3"
//   srv.requests()  // everything received, in order
//
// File routes: HEAD and GET; "Range: bytes=a-b" and "bytes=a-" give 206 with
// "Content-Range: bytes a-b/L" (b clamped to L-1); a start at or past L gives
// 416 with "Content-Range: bytes */L"; a Range that does not parse (such as
// "bytes=1-0") is ignored and the whole body is sent with 200.
// Raw routes send their bytes verbatim and then close the connection unless
// keepOpen is set.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vtest {

// Faults of one route; all of them combine.
struct Faults {
  int headerDelayMs = 0;               // wait before sending the header
  long long closeAfterBodyBytes = -1;  // close (or reset) after K body bytes
  int stallMs = 0;                     // send nothing for this long ...
  long long stallAfterBodyBytes = -1;  // ... before the header (-1) or after K body bytes
  bool reset = false;                  // end with RST (SO_LINGER 0): instead of any
                                       // reply, or at closeAfterBodyBytes
  bool ignoreRange = false;            // 200 + whole body whatever the Range
  long long contentRangeShift = 0;     // added to the start in Content-Range
  bool noContentLength = false;        // no Content-Length; close ends the body
  bool headerNoBlankLine = false;      // >16 KiB of header without the blank line, then close
  std::string contentLengthOverride;   // sent instead of the real length, e.g. "5000000000";
                                       // the real body follows and the connection closes
  long long pauseEveryBytes = 0;       // a pause of pauseMs after every K body bytes of a
  int pauseMs = 0;                     // reply (not after its last byte)
  int dripBytes = 0;                   // body in pieces of this many bytes ...
  int dripIntervalMs = 0;              // ... with this pause between them
  int failFirst = 0;                   // the first N requests of the route get failStatus
  int failStatus = 503;
  std::string failRetryAfter;          // "Retry-After" sent with failStatus; empty: none
  long long rateBytesPerSec = 0;       // body rate limit per connection (0: none)
  int slowEveryConnection = 0;         // every Nth connection accepted is served at ...
  long long slowRateBytesPerSec = 0;   // ... this rate instead (uneven hosts)
  bool closeAfterResponse = false;     // "Connection: close" and close after each reply
  int onlyFirst = 0;                   // the faults above hit only the route's first N
                                       // requests (0: every request)
  int notFirst = 0;                    // the faults (busyPage too) spare the route's first N requests
  // File routes only, from here on.
  bool chunked = false;                // body in chunked coding, no Content-Length
  size_t chunkBytes = 0;               // data bytes per chunk (0: 4096)
  std::string chunkTrailer;            // trailer lines after the last chunk, each ending "\r\n"
  long long badChunkAfter = -1;        // a malformed size line after this many data bytes
  long long stallAfterHeaderBytes = -1;  // stallMs after this many header bytes
  long long contentRangeTotal = -1;    // total sent in Content-Range instead of the real one
  std::string busyPage;                // answered once as a 200 text/html page with
                                       // Connection: close, instead of the file ...
  bool busyPageWithoutRangeOnly = false;  // ... to the first request without a Range line
                                          // (else to the route's first request)
};

struct Route {
  enum class Kind { File, Redirect, Raw };
  Kind kind = Kind::File;
  // File
  std::string body;
  std::string etag;          // sent as "ETag: <etag>" when not empty (give the quotes)
  std::string lastModified;  // sent as "Last-Modified: ..." when not empty
  std::string contentType;   // sent as "Content-Type: ..." when not empty
  std::string extraHeaders;  // verbatim lines, each ending "\r\n"
  // Redirect
  int status = 302;
  std::string location;        // absolute or relative, sent as written
  bool redirectClose = false;  // "Connection: close" and close after the redirect
  size_t redirectBodySize = 0; // body of this many 'r' bytes with its Content-Length
  // Raw
  std::string raw;
  bool keepOpen = false;

  bool prefix = false;  // match any target starting with the route's path
  Faults faults;
  // Faults for the requests whose Range value is exactly the key ("" for
  // none), used instead of `faults`; their onlyFirst counts only those.
  std::map<std::string, Faults> rangeFaults;

  static Route File(std::string body);
  static Route Redirect(int status, std::string location);
  static Route Raw(std::string bytes);
};

// A host that takes only so many connections at once, as small shared
// hosts do. Past the limit a request is answered busy and the connection
// closed, or (closeAtConnect) the connection is closed as soon as it is
// accepted.
struct ConnectionLimit {
  int maxOpen = 0;          // 0: no limit
  int status = 503;         // 503 or 429
  std::string retryAfter;   // "Retry-After" value as sent ("1", an HTTP date); empty: none
  bool closeAtConnect = false;
};

struct Request {
  std::string raw;     // exact bytes through the blank line
  std::string method;  // "GET", "HEAD", ...
  std::string target;  // as sent, e.g. "/a.mp3?x=1"
  std::string range;   // value of the Range header, empty when absent
  int connection = 0;  // 1, 2, ... in order of accept
  long long atMs = 0;  // steady-clock milliseconds when it arrived
  bool answeredBusy = false;  // refused by the connection limit
  // Value of the first header with that name (case-insensitive), else "".
  std::string header(const std::string& name) const;
};

class ScriptedServer {
 public:
  ScriptedServer();
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return m_port; }
  std::string url(const std::string& path) const;  // "http://127.0.0.1:PORT" + path
  std::string hostPort() const;                      // "127.0.0.1:PORT"

  // Adds or replaces a route; its request and byte counters start again.
  void route(const std::string& path, Route r);
  void removeRoute(const std::string& path);
  // Applies to connections and requests from now on.
  void setConnectionLimit(const ConnectionLimit& limit);
  // Most connections that were open at once, and connections closed at
  // accept by the limit.
  int peakOpenConnections() const;
  int connectionsRefused() const;

  std::vector<Request> requests() const;
  std::vector<Request> requestsFor(const std::string& path) const;  // by route path
  void clearRequests();
  // Waits (bounded) until at least n requests have arrived.
  bool waitForRequests(size_t n, int timeoutMs) const;

  // Waits (bounded) until no request is being answered. The byte counters
  // move after each send returns, so a client can hold the bytes before they
  // are counted: wait for this before reading them.
  bool waitIdle(int timeoutMs) const;
  // Bytes sent for a route (header + body) and body bytes only.
  long long bytesSent(const std::string& path) const;
  long long bodyBytesSent(const std::string& path) const;
  int connectionsAccepted() const { return m_nextConn.load() - 1; }
  // Connections that are open right now.
  int openConnections() const;
  // Waits (bounded) until no connection is open or waiting to be accepted,
  // so every request a client sent before closing has been logged. Call it
  // before clearRequests() when the previous client may have just gone.
  bool waitAllClosed(int timeoutMs) const;

 private:
  struct RouteState {
    std::shared_ptr<const Route> r;  // shared so a big body is never copied per request
    int served = 0;
    bool busyServed = false;
    std::map<std::string, int> servedByRange;
    long long bytes = 0;
    long long bodyBytes = 0;
  };
  struct Conn {
    int fd = -1;
    int id = 0;
    std::thread th;
    std::atomic<bool> done{false};
  };
  void acceptLoop();
  void serve(Conn* c);
  bool handle(Conn* c, Request& req, bool& keep);
  // Pauses up to ms; false when the server is stopping.
  bool pause(int ms);
  bool sendAll(Conn* c, const std::string& path, const char* p, size_t n, bool body);
  bool sendPaced(Conn* c, const std::string& path, const char* data, size_t size, const Faults& f);
  void countBytes(const std::string& path, size_t n, bool body);

  int m_listen = -1;
  int m_port = 0;
  std::thread m_accept;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_nextConn{1};
  int m_busy = 0;  // requests being answered, under m_lock
  ConnectionLimit m_limit;  // under m_lock
  int m_peakOpen = 0;       // under m_lock
  int m_refused = 0;        // under m_lock
  int openLocked() const;
  bool answerBusy(Conn* c, Request& req);

  mutable std::mutex m_lock;  // routes, requests, connection list
  mutable std::condition_variable m_cv;
  std::map<std::string, RouteState> m_routes;
  std::vector<Request> m_requests;
  std::vector<std::string> m_requestRoutes;  // route path of each request, "" when none
  std::list<std::unique_ptr<Conn>> m_conns;
};

}  // namespace vtest
