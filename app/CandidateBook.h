#pragma once
// What the details views know of each name beyond its entry: the
// candidates of its last search, a link the user gave that its task has not
// taken up yet, and how its last activation ended. The application tells it
// what the table says (is there an entry, is it marked failed) and what the
// running job shows; it knows no tasks and no threads.
//
// Not locked itself: the application keeps it under its lock.
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "app/TaskDetails.h"
#include "app/TaskEndings.h"
#include "engine/job/BlockSnapshot.h"
#include "task/Candidate.h"
#include "task/CandidateList.h"

// What a running job shows at one moment.
struct JobView {
  std::vector<BlockSnapshot> blocks;
  int nAnswerMs = -1;
};

class CandidateBook {
 public:
  // --- What a task reports ----------------------------------------------------
  void Found(const std::string& name, const std::vector<std::string>& links);
  void Probed(const std::string& name, const std::string& link, const ProbeFigures& probe,
              CandidateVerdict verdict);
  void ServerAudio(const std::string& name, const std::string& link, const AudioFacts& audio);
  // The stored address that is the link the user gave is told as given,
  // once: the next choice of it is a stored address again.
  void Chosen(const std::string& name, const std::string& link, ChosenReason why);
  void Failed(const std::string& name, const std::string& link, const std::string& text);
  // The end of name's activation, with its job as it stood. A finished
  // job's blocks count as merged whole; no block has a speed any more.
  void Ended(const std::string& name, bool finished, const std::string& text, JobView job);

  // --- What the user or the table does -------------------------------------------
  // The user asked for link: the next choice of it as the stored address
  // is told as the given link.
  void GiveLink(const std::string& name, const std::string& link);
  // A new entry of name: its old ending is no news of it.
  void ForgetEnding(const std::string& name);
  // name left the table: its candidates and given link go, its ending stays.
  void Forget(const std::string& name);
  void Clear();

  // --- What the views read --------------------------------------------------------
  // hasEntry/failedEntry: what the table holds for name; active: whether it
  // holds a slot; job: its running job (empty when none).
  TaskDetails Details(const std::string& name, bool hasEntry, bool failedEntry, bool active, JobView job);
  // The audio of the link name's task went with, or, once it finished,
  // came from; read in place.
  AudioFacts ChosenAudio(const std::string& name, bool hasEntry) const;
  // How many times a candidate list was copied out.
  int Copies() const { return m_nCopies.load(); }

 private:
  std::map<std::string, CCandidateList> m_lists;
  std::map<std::string, std::string> m_givenLinks;
  TaskEndings m_endings;
  // Read without the application lock by the counter's getter.
  std::atomic<int> m_nCopies{0};
};
