#pragma once
// The network settings every connection of the process obeys. The front ends
// fill them from MP3.ini; the engine reads them afresh for each connection,
// so a change applies to the next connection made.
#include <string>

struct NetworkOptions {
  // "" takes the proxy from the environment, "none" never uses one,
  // anything else is "http://[user:password@]host[:port]".
  std::string proxy;
  // A trust file of the user's, trusted beside the system's; "" for none.
  std::string caFile;
};

// Safe to call from any thread at any time.
void SetNetworkOptions(const NetworkOptions& options);
NetworkOptions GetNetworkOptions();
