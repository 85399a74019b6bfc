#include "task/CandidatePicker.h"

#include <algorithm>

#include "task/QualityPick.h"

void CCandidatePicker::Forget() {
  m_nCount = -1;
  m_nLastProbed = -1;
}

void CCandidatePicker::Reset(const std::vector<std::string>& links, const std::vector<AudioFacts>& audio) {
  m_entries.clear();
  for (size_t i = 0; i < links.size() && i < static_cast<size_t>(kMaxCandidates); ++i) {
    Entry e;
    e.m_strLink = links[i];
    if (i < audio.size()) e.m_server = audio[i];
    m_entries.push_back(e);
  }
  m_nCount = static_cast<int>(m_entries.size());
  m_nLastProbed = -1;
}

const CCandidatePicker::Entry* CCandidatePicker::At(int i) const {
  return i >= 0 && i < static_cast<int>(m_entries.size()) ? &m_entries[static_cast<size_t>(i)] : nullptr;
}

const std::string& CCandidatePicker::Link(int i) const {
  static const std::string none;
  const Entry* e = At(i);
  return e ? e->m_strLink : none;
}

std::vector<std::string> CCandidatePicker::Links() const {
  std::vector<std::string> out;
  for (const Entry& e : m_entries) out.push_back(e.m_strLink);
  return out;
}

int CCandidatePicker::Time(int i) const {
  const Entry* e = At(i);
  return e ? e->m_nTimeMs : -1;
}

int CCandidatePicker::Kbps(int i) const {
  const Entry* e = At(i);
  return e ? e->m_nKbps : 0;
}

const AudioFacts& CCandidatePicker::ServerAudio(int i) const {
  static const AudioFacts none;
  const Entry* e = At(i);
  return e ? e->m_server : none;
}

void CCandidatePicker::SetProbed(int i, int timeMs, int kbps) {
  if (i < 0 || i >= static_cast<int>(m_entries.size())) return;
  m_entries[static_cast<size_t>(i)].m_nTimeMs = timeMs;
  m_entries[static_cast<size_t>(i)].m_nKbps = kbps;
}

void CCandidatePicker::Mark(const std::string& link, int timeMs) {
  for (Entry& e : m_entries) {
    if (e.m_strLink == link) {
      e.m_nTimeMs = timeMs;
      return;
    }
  }
}

bool CCandidatePicker::AnyTime() const {
  return std::any_of(m_entries.begin(), m_entries.end(), [](const Entry& e) { return e.m_nTimeMs >= 0; });
}

int CCandidatePicker::PickFastest(int fastEnoughMs, int unusableMs) const {
  const int k = m_nLastProbed;
  if (k < 0) return -1;
  if (k < m_nCount - 1) return k;
  if (Time(k) >= 0 && Time(k) <= fastEnoughMs) return k;
  int best = -1;
  for (int i = 0; i <= k && i < m_nCount; ++i) {
    const int t = Time(i);
    if (t >= 0 && t < unusableMs && (best < 0 || t < Time(best))) best = i;
  }
  return best;
}

int CCandidatePicker::PickBestQuality(int unusableMs) const {
  std::vector<int> times, kbps;
  for (const Entry& e : m_entries) {
    times.push_back(e.m_nTimeMs);
    kbps.push_back(e.m_nKbps);
  }
  return QualityPick::Choose(times.data(), kbps.data(), static_cast<int>(m_entries.size()), unusableMs);
}
