#pragma once
// Name lookup that a caller can walk away from. getaddrinfo cannot be
// interrupted, and a resolver that never answers would hold a Stop for its
// whole time-out; so the lookup runs on a thread of its own and the caller
// only waits while it still wants the answer.
#include <netinet/in.h>

#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

// IPv4 address of host (a dotted address is taken as it is, without a
// thread). False when the lookup failed or abandon() said to give up; it is
// asked every few milliseconds.
bool ResolveHost(const std::string& host, sockaddr_in& out, const std::function<bool()>& abandon);

// Every address of host, both families, interleaved for connecting (a
// literal address, bracketless, is taken as it is). Same abandon rule.
bool ResolveAll(const std::string& host, std::vector<sockaddr_storage>& out, const std::function<bool()>& abandon);

// Replaces the system lookup for names (0 for success); null restores it.
using HostLookupFn = int (*)(const std::string& host, sockaddr_in& out);
void SetHostLookup(HostLookupFn fn);
