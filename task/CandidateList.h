#pragma once
// The candidates of one name's last search, built up from what the task
// reports as it searches, probes, picks and fails. The application keeps
// one per name; the console's search keeps its own.
#include <string>
#include <vector>

#include "task/Candidate.h"

class CCandidateList {
 public:
  // A new search answered with these links, best first: the old list goes.
  void Reset(const std::vector<std::string>& links);
  // A probe of link finished with this verdict (anything but kChosen).
  void SetProbed(const std::string& link, const ProbeFigures& probe, CandidateVerdict verdict);
  // The task goes with link; a link the search did not give (a stored or a
  // typed address) joins the list. Whatever was chosen before falls back
  // to what its probe said.
  void SetChosen(const std::string& link, ChosenReason why);
  // The download from link failed; text is the job's last word (GBK).
  void SetFailed(const std::string& link, const std::string& text);
  // What a music server said of link's audio.
  void SetServerAudio(const std::string& link, const AudioFacts& audio);

  // Chosen first, then usable ones by response time, then those not
  // probed, then refused ones; each group in the order found.
  std::vector<Candidate> Ranked() const;
  // The chosen link's audio, read in place: nothing is copied or sorted.
  // Nothing known when no link is chosen.
  AudioFacts ChosenAudio() const;
  ChosenReason Reason() const { return m_eReason; }
  bool Empty() const { return m_items.empty(); }
  bool HasUsable() const;

 private:
  Candidate* Find(const std::string& shown);
  Candidate& FindOrAdd(const std::string& shown);

  std::vector<Candidate> m_items;  // in the order found
  ChosenReason m_eReason = ChosenReason::kNone;
};
