#include "app/CandidateBook.h"

#include <utility>

void CandidateBook::Found(const std::string& name, const std::vector<std::string>& links) {
  m_lists[name].Reset(links);
}

void CandidateBook::Probed(const std::string& name, const std::string& link, const ProbeFigures& probe,
                           CandidateVerdict verdict) {
  auto it = m_lists.find(name);
  if (it != m_lists.end()) it->second.SetProbed(link, probe, verdict);
}

void CandidateBook::ServerAudio(const std::string& name, const std::string& link, const AudioFacts& audio) {
  auto it = m_lists.find(name);
  if (it != m_lists.end()) it->second.SetServerAudio(link, audio);
}

void CandidateBook::Chosen(const std::string& name, const std::string& link, ChosenReason why) {
  auto given = m_givenLinks.find(name);
  if (given != m_givenLinks.end()) {
    if (why == ChosenReason::kStoredAddress && given->second == link) why = ChosenReason::kGivenLink;
    m_givenLinks.erase(given);
  }
  m_lists[name].SetChosen(link, why);
}

void CandidateBook::Failed(const std::string& name, const std::string& link, const std::string& text) {
  auto it = m_lists.find(name);
  if (it != m_lists.end()) it->second.SetFailed(link, text);
}

void CandidateBook::Ended(const std::string& name, bool finished, const std::string& text, JobView job) {
  TaskEnding ending;
  ending.m_bFinished = finished;
  ending.m_strText = text;
  auto it = m_lists.find(name);
  if (it != m_lists.end()) {
    ending.m_eReason = it->second.Reason();
    ending.m_candidates = it->second.Ranked();
    ++m_nCopies;
  }
  ending.m_blocks = std::move(job.blocks);
  ending.m_nJobAnswerMs = job.nAnswerMs;
  for (BlockSnapshot& b : ending.m_blocks) {
    b.m_nSpeed.reset();  // nothing serves a block any more
    if (finished) b.m_nBytes = b.m_nLast - b.m_nFirst + 1;  // merged whole
  }
  m_endings.Record(name, std::move(ending));
}

void CandidateBook::GiveLink(const std::string& name, const std::string& link) { m_givenLinks[name] = link; }

void CandidateBook::ForgetEnding(const std::string& name) { m_endings.Forget(name); }

void CandidateBook::Forget(const std::string& name) {
  m_lists.erase(name);
  m_givenLinks.erase(name);
}

void CandidateBook::Clear() {
  m_lists.clear();
  m_givenLinks.clear();
  m_endings.Clear();
}

TaskDetails CandidateBook::Details(const std::string& name, bool hasEntry, bool failedEntry, bool active,
                                   JobView job) {
  TaskDetails d;
  d.m_strName = name;
  d.m_bHasEntry = hasEntry;
  d.m_bActive = active;
  d.m_blocks = std::move(job.blocks);
  d.m_nJobAnswerMs = job.nAnswerMs;
  auto it = m_lists.find(name);
  if (hasEntry && it != m_lists.end()) {
    d.m_eReason = it->second.Reason();
    d.m_candidates = it->second.Ranked();
    ++m_nCopies;
  }
  // A finished task left the table with its candidates; one that gave up
  // keeps its entry, marked, until it runs again.
  const TaskEnding* ending = m_endings.Find(name);
  if (ending && (ending->m_bFinished ? !hasEntry : hasEntry && failedEntry)) {
    d.m_bEnded = true;
    d.m_bFinished = ending->m_bFinished;
    d.m_strEnding = ending->m_strText;
    if (ending->m_bFinished) {
      d.m_eReason = ending->m_eReason;
      d.m_candidates = ending->m_candidates;
    }
    if (d.m_blocks.empty()) d.m_blocks = ending->m_blocks;
    if (d.m_nJobAnswerMs < 0) d.m_nJobAnswerMs = ending->m_nJobAnswerMs;
  }
  return d;
}

AudioFacts CandidateBook::ChosenAudio(const std::string& name, bool hasEntry) const {
  auto it = m_lists.find(name);
  if (hasEntry && it != m_lists.end()) return it->second.ChosenAudio();
  // A finished song keeps the link it came from in its ending.
  if (const TaskEnding* ending = m_endings.Find(name); ending && ending->m_bFinished)
    for (const Candidate& c : ending->m_candidates)
      if (c.m_eVerdict == CandidateVerdict::kChosen) return c.Audio();
  return {};
}
