#pragma once
// The built-in music search engine and the update server are one loopback
// host: the bundled virelomp3-server plays both. MP3.ini's search head and
// tail override it for the search.
inline constexpr const char kBuiltinHost[] = "127.0.0.1:18317";
inline constexpr int kBuiltinPort = 18317;
