#pragma once
// One ranged read of a few bytes from the middle of a file, on a probe's
// connection: what the probe needs when a song's first bytes are all tag.
#include <cstddef>
#include <string>

class CHttpSocket;

// Asks url for bytes from..from+count-1 and puts what a 206 reply brings
// (at most count bytes) into out. False when the server does not answer
// with that range. Bounded in time like the probe; leaves no connection.
bool ReadRange(CHttpSocket& socket, const std::string& url, long long from, size_t count, std::string& out);
