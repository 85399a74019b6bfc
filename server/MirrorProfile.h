#pragma once
// How one /mirror/<name>/ host misbehaves. The profiles live in
// <root>/mirrors.ini, one section each:
//
//   [slow]
//   LatencyMs=300      ; wait before the response header
//   RateKBps=256       ; per connection, KiB/s; 0 = as fast as possible
//   [hop]
//   RedirectTo=songs   ; 302 to /songs/... or to another profile's mirror
//   [flaky]
//   DropAfterBytes=200000 ; close the connection after this many body bytes
//   Listed=0           ; keep a profile off the result pages
//
// Result pages list the song once per listed profile, in file order, so the
// order decides what a probing client meets first.
#include <string>
#include <vector>

// The largest values mirrors.ini may set; larger ones are taken as these.
inline constexpr long kMaxLatencyMs = 60000;
inline constexpr long kMaxRateKBps = 1048576;
inline constexpr long kMaxDropAfterBytes = 1L << 40;

struct MirrorProfile {
  std::string name;
  long latencyMs = 0;
  long rateBytesPerSecond = 0;
  std::string redirectTo;  // "songs", another profile name, or empty
  long dropAfterBytes = 0;
  bool listed = true;
};

// Profiles of the ini file at path, or the built-in set when it is missing.
std::vector<MirrorProfile> LoadMirrorProfiles(const std::string& path);
std::vector<MirrorProfile> DefaultMirrorProfiles();
// The text of the built-in set, as tools write it into a fresh root.
const char* DefaultMirrorsIni();
const MirrorProfile* FindMirrorProfile(const std::vector<MirrorProfile>& profiles, const std::string& name);
