#pragma once
// The links of one search and what their probes measured, and the two rules
// that pick one: the fastest-time rule and quality first. Holds at most
// kMaxCandidates links, in the order found. No threads, no sockets: the
// task probes, the picker keeps the figures.
#include <string>
#include <vector>

#include "task/Candidate.h"

class CCandidatePicker {
 public:
  static constexpr int kMaxCandidates = 30;

  // This activation made no search (the address came from the entry).
  void Forget();
  // A search answered with links (best first) and what the server said of
  // each; links past kMaxCandidates are dropped. Nothing is probed yet.
  void Reset(const std::vector<std::string>& links, const std::vector<AudioFacts>& audio = {});

  // -1 after Forget, else how many links the last search gave.
  int Count() const { return m_nCount; }
  // Empty, -1, 0 and unknown facts outside [0, Count()).
  const std::string& Link(int i) const;
  std::vector<std::string> Links() const;
  // The pickable probe time in ms; -1 for a link rejected, failed or not probed.
  int Time(int i) const;
  // The bitrate the quality pick compares (kbps; <= 0 unknown).
  int Kbps(int i) const;
  const AudioFacts& ServerAudio(int i) const;

  // Index of the last probed link; -1 when none (the next pass probes all).
  int LastProbed() const { return m_nLastProbed; }
  void SetLastProbed(int k) { m_nLastProbed = k; }
  bool AllProbed() const { return m_nLastProbed >= m_nCount - 1; }
  // Link i was probed: its time (-1 when not usable) and the bitrate to compare.
  void SetProbed(int i, int timeMs, int kbps);
  // The first link equal to link gets timeMs as its time.
  void Mark(const std::string& link, int timeMs);
  bool AnyTime() const;

  // The fastest-time rule: where probing stopped early, that link; else
  // the last probed one when it answered within fastEnoughMs; else the
  // quickest time below unusableMs, the first found on a tie. -1: none.
  int PickFastest(int fastEnoughMs, int unusableMs) const;
  // Quality first (QualityPick) over the probed links; -1: none usable.
  int PickBestQuality(int unusableMs) const;

 private:
  struct Entry {
    std::string m_strLink;
    int m_nTimeMs = -1;
    int m_nKbps = 0;
    AudioFacts m_server;
  };
  const Entry* At(int i) const;

  std::vector<Entry> m_entries;
  int m_nCount = -1;
  int m_nLastProbed = -1;
};
