#pragma once
// An HTTP server that takes a "?" inside a query value ("?k=a?b"), which is
// legal in a query and which the HTTP library refuses with 400 before any
// route sees it. Extra "?" of a request target reach the routes as "%3F",
// which every route decodes back. A connection gets a worker only once its
// request header is in (see CHeaderGate), so slow clients cannot hold the
// pool. Everything else is the library's.
#include <httplib.h>

#include <memory>
#include <string>

#include "server/HeaderGate.h"
#include "server/RequestLineMender.h"

class CLenientServer : public httplib::Server {
 public:
  explicit CLenientServer(const HeaderLimits& limits = HeaderLimits(), size_t workers = 64);
  // After a bind: the library listens with a backlog of five, and a burst of
  // clients beyond that waits out the kernel's second-long SYN retry.
  void WidenBacklog();

 private:
  bool process_and_close_socket(socket_t sock) override;
  void Serve(std::unique_ptr<ServerConnection> c);

  const HeaderLimits m_limits;
  CHeaderGate* m_pGate = nullptr;  // the listen loop's task queue, while it runs
};
