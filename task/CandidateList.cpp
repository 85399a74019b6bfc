#include "task/CandidateList.h"

#include <algorithm>

namespace {

int Group(const Candidate& c) {
  switch (c.m_eVerdict) {
    case CandidateVerdict::kChosen: return 0;
    case CandidateVerdict::kUsable: return 1;
    case CandidateVerdict::kNotProbed: return 2;
    default: return 3;
  }
}

}  // namespace

void CCandidateList::Reset(const std::vector<std::string>& links) {
  m_items.clear();
  m_eReason = ChosenReason::kNone;
  for (const std::string& link : links) FindOrAdd(AddressForShow(link));
}

Candidate* CCandidateList::Find(const std::string& shown) {
  for (Candidate& c : m_items)
    if (c.m_strAddress == shown) return &c;
  return nullptr;
}

Candidate& CCandidateList::FindOrAdd(const std::string& shown) {
  if (Candidate* c = Find(shown)) return *c;
  Candidate c;
  c.m_strAddress = shown;
  c.m_strHost = AddressHost(shown);
  c.m_strPath = AddressPathForShow(shown);
  c.m_nFound = static_cast<int>(m_items.size());
  m_items.push_back(c);
  return m_items.back();
}

void CCandidateList::SetProbed(const std::string& link, const ProbeFigures& probe,
                               CandidateVerdict verdict) {
  Candidate* c = Find(AddressForShow(link));
  if (!c) return;
  c->m_bProbed = true;
  c->m_probe = probe;
  c->m_strFailure.clear();
  c->m_eVerdict = verdict == CandidateVerdict::kChosen ? CandidateVerdict::kUsable : verdict;
}

void CCandidateList::SetChosen(const std::string& link, ChosenReason why) {
  const std::string shown = AddressForShow(link);
  for (Candidate& c : m_items) {
    if (c.m_eVerdict != CandidateVerdict::kChosen || c.m_strAddress == shown) continue;
    // Only a probed link was ever judged usable; an unprobed one was taken
    // on trust and goes back to not probed.
    c.m_eVerdict = c.m_bProbed ? CandidateVerdict::kUsable : CandidateVerdict::kNotProbed;
  }
  FindOrAdd(shown).m_eVerdict = CandidateVerdict::kChosen;
  m_eReason = why;
}

void CCandidateList::SetFailed(const std::string& link, const std::string& text) {
  Candidate* c = Find(AddressForShow(link));
  if (!c) return;
  if (c->m_eVerdict == CandidateVerdict::kChosen) m_eReason = ChosenReason::kNone;
  c->m_eVerdict = CandidateVerdict::kDownloadFailed;
  c->m_strFailure = text;
}

void CCandidateList::SetServerAudio(const std::string& link, const AudioFacts& audio) {
  if (Candidate* c = Find(AddressForShow(link))) c->m_server = audio;
}

std::vector<Candidate> CCandidateList::Ranked() const {
  std::vector<Candidate> out = m_items;
  std::stable_sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) {
    const int ga = Group(a), gb = Group(b);
    if (ga != gb) return ga < gb;
    if (ga == 1) return a.m_probe.m_nTimeMs < b.m_probe.m_nTimeMs;
    return a.m_nFound < b.m_nFound;
  });
  return out;
}

AudioFacts CCandidateList::ChosenAudio() const {
  for (const Candidate& c : m_items)
    if (c.m_eVerdict == CandidateVerdict::kChosen) return c.Audio();
  return {};
}

bool CCandidateList::HasUsable() const {
  return std::any_of(m_items.begin(), m_items.end(), [](const Candidate& c) {
    return c.m_eVerdict == CandidateVerdict::kChosen || c.m_eVerdict == CandidateVerdict::kUsable;
  });
}
