#include "server/MirrorProfile.h"

#include <algorithm>

#include "server/IniFile.h"

namespace {

// A slow mirror first and a fast one after it, so a client that probes in
// page order has a real choice to make.
const char kDefaultIni[] =
    "[slow]\nLatencyMs=300\nRateKBps=256\n\n"
    "[fast]\nLatencyMs=0\nRateKBps=0\n\n"
    "[hop]\nRedirectTo=songs\n\n"
    "[flaky]\nLatencyMs=20\nDropAfterBytes=200000\n";

std::vector<MirrorProfile> FromIni(const CIniFile& ini) {
  std::vector<MirrorProfile> profiles;
  for (const std::string& section : ini.Sections()) {
    // Profile names become path segments; keep them plain.
    bool plain = !section.empty();
    for (char c : section) {
      plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '_');
    }
    if (!plain) continue;
    MirrorProfile p;
    p.name = section;
    // Clamped before any arithmetic: a huge hand-written number must not
    // wrap into no delay at all.
    p.latencyMs = std::clamp(ini.GetNumber(section, "LatencyMs", 0), 0L, kMaxLatencyMs);
    p.rateBytesPerSecond = std::clamp(ini.GetNumber(section, "RateKBps", 0), 0L, kMaxRateKBps) * 1024;
    p.redirectTo = ini.Get(section, "RedirectTo", "");
    p.dropAfterBytes = std::clamp(ini.GetNumber(section, "DropAfterBytes", 0), 0L, kMaxDropAfterBytes);
    p.listed = ini.GetNumber(section, "Listed", 1) != 0;
    profiles.push_back(p);
  }
  return profiles;
}

}  // namespace

const char* DefaultMirrorsIni() { return kDefaultIni; }

std::vector<MirrorProfile> DefaultMirrorProfiles() {
  CIniFile ini;
  ini.Parse(kDefaultIni);
  return FromIni(ini);
}

std::vector<MirrorProfile> LoadMirrorProfiles(const std::string& path) {
  CIniFile ini;
  if (!ini.Load(path)) return DefaultMirrorProfiles();
  return FromIni(ini);
}

const MirrorProfile* FindMirrorProfile(const std::vector<MirrorProfile>& profiles, const std::string& name) {
  for (const MirrorProfile& p : profiles) {
    if (p.name == name) return &p;
  }
  return nullptr;
}
