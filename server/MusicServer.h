#pragma once
// The bundled stand-in for every outside party the program talks to: the
// music search engine, the song hosts (plain and misbehaving mirrors) and
// the update host. Loopback only.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

class CLenientServer;

struct MusicServerOptions {
  std::string root;     // holds songs/, mirrors.ini, update/update.ini
  int port = 0;         // 0: any free port
  std::string logPath;  // empty: stderr
  int keepAliveSeconds = 5;
  int readTimeoutSeconds = 5;
  int writeTimeoutSeconds = 10;
  int headerSeconds = 10;  // a request's whole header, however it trickles in
};

class CMusicServer {
 public:
  explicit CMusicServer(MusicServerOptions options);
  ~CMusicServer();
  CMusicServer(const CMusicServer&) = delete;
  CMusicServer& operator=(const CMusicServer&) = delete;

  // Binds 127.0.0.1 and serves on a thread of its own. False (with a
  // reason) when the root is missing or the port cannot be bound.
  bool Start(std::string& error);
  int Port() const { return m_nPort; }
  void Stop();

 private:
  class CRoutes;
  MusicServerOptions m_options;
  std::unique_ptr<CLenientServer> m_pServer;
  std::unique_ptr<CRoutes> m_pRoutes;
  std::thread m_thread;
  std::atomic<bool> m_bStopping{false};
  int m_nPort = 0;
};
