#pragma once
// Probes one candidate link over a socket the caller owns and turns what
// the socket saw into ProbeFigures: a host's busy answers are waited out
// as the host asks, the host's connection limit is kept, and an audio
// type's first bytes are read for their bitrate.
#include <cstdint>
#include <functional>
#include <string>

#include "engine/http/SocketListener.h"
#include "task/Candidate.h"

class CHttpSocket;

// What the prober asks of whoever runs it.
struct ProbeHooks {
  std::function<bool()> stale;                          // the run is over: give up
  std::function<void(const std::string&)> status;       // a text for the row
  std::function<bool(int ms)> waitUnlessStale;          // false when the run went stale
};

// Listens to the probing socket for the texts that say why it failed.
class CLinkProber : public ISocketListener {
 public:
  // Replaces the socket probe (tests): sets time (ms, -1 on failure) and
  // size (-1 unknown).
  using FakeProbe = std::function<void(const std::string& url, int& time, int& size)>;

  // fake is read at each probe, so it may be set after construction.
  // owner is who holds the host's connection permit.
  CLinkProber(const FakeProbe& fake, ProbeHooks hooks, const void* owner);

  // Probes url, again after each busy answer for as long as the host asks
  // and at most as often as a busy link is given. `testing` is the row's
  // text while the probe asks. False when the run went stale.
  bool Probe(CHttpSocket* socket, const std::string& url, bool audio, const std::string& testing,
             ProbeFigures& probe);
  // A text the probing socket reported (on the probing thread, inside the
  // probe): kept when it says why the connection failed.
  void OnMessage(const std::string& text, int index) override;

 private:
  void ProbeOnce(CHttpSocket* socket, const std::string& url, bool audio, const std::string& testing,
                 ProbeFigures& probe, int& retryAfterSec);

  const FakeProbe& m_fake;
  ProbeHooks m_hooks;
  const void* m_owner;
  std::string m_strCause;  // the probing thread's: why the last probe failed
};
