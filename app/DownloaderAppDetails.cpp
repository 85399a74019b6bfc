// The candidates of each name and what the details views read of a task.
#include "app/DownloaderApp.h"
#include "app/TaskRunner.h"
#include "engine/job/BlockDownloader.h"
#include "task/Candidate.h"
#include "engine/Gbk.h"
#include "task/DownloadTask.h"

int CDownloaderApp::UseLink(const std::string& typed, const std::string& link) {
  if (m_bRefused) return -2;
  // The task only takes an address it can read back whole from the entry.
  if (link.size() >= sizeof(TaskEntry::m_szAddress) || !IsWebAddress(link)) return -3;
  const std::string name = CutGbk(typed, sizeof(TaskEntry::m_szName) - 1);
  const int added = AddTask(name);  // shows the table-full message itself
  if (added == -2) return -2;
  {
    std::lock_guard<std::mutex> lk(m_lock);
    m_pickedLinks[name] = link;
  }
  EditEntry(name, [&](TaskEntry& e) { SetEntryText(e.m_szAddress, link); });
  SaveTaskList();
  WakeScheduler();
  return added;
}

TaskDetails CDownloaderApp::GetTaskDetails(const std::string& name) {
  TaskDetails d;
  d.m_strName = name;
  std::lock_guard<std::mutex> lk(m_lock);
  d.m_bHasEntry = FindEntryLocked(name) >= 0;
  const int active = FindActiveLocked(name);
  d.m_bActive = active >= 0;
  // The slot keeps the task alive while we look; the job's own lock is a
  // leaf, so nothing waits on us in turn.
  if (active >= 0 && m_pActive[active]->m_pRunner && m_pActive[active]->m_pRunner->Task())
    m_pActive[active]->m_pRunner->Task()->VisitJob(
        [&](CBlockDownloader& job) {
          d.m_blocks = job.GetBlockSnapshot();
          d.m_nJobAnswerMs = job.AnswerMs();
        });
  auto it = m_candidateLists.find(name);
  if (d.m_bHasEntry && it != m_candidateLists.end()) {
    d.m_eReason = it->second.Reason();
    d.m_candidates = it->second.Ranked();
    ++m_nCandidateCopies;
  }
  // A finished task left the table with its candidates; one that gave up
  // keeps its entry, marked, until it runs again.
  const TaskEnding* ending = m_endings.Find(name);
  const int entry = FindEntryLocked(name);
  if (ending && (ending->m_bFinished ? entry < 0 : entry >= 0 && IsFailedEntry(*m_pTasks[entry]))) {
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

std::vector<BlockSnapshot> CDownloaderApp::GetTaskBlocks(const std::string& name) {
  std::vector<BlockSnapshot> blocks;
  std::lock_guard<std::mutex> lk(m_lock);
  const int active = FindActiveLocked(name);
  if (active >= 0 && m_pActive[active]->m_pRunner && m_pActive[active]->m_pRunner->Task())
    m_pActive[active]->m_pRunner->Task()->VisitJob([&](CBlockDownloader& job) { blocks = job.GetBlockSnapshot(); });
  return blocks;
}

AudioFacts CDownloaderApp::GetChosenAudio(const std::string& name) {
  std::lock_guard<std::mutex> lk(m_lock);
  auto it = m_candidateLists.find(name);
  if (FindEntryLocked(name) >= 0 && it != m_candidateLists.end()) return it->second.ChosenAudio();
  // A finished song keeps the link it came from in its ending.
  if (const TaskEnding* ending = m_endings.Find(name); ending && ending->m_bFinished)
    for (const Candidate& c : ending->m_candidates)
      if (c.m_eVerdict == CandidateVerdict::kChosen) return c.Audio();
  return {};
}

void CDownloaderApp::OnTaskEnded(const std::string& name, bool finished, const std::string& text) {
  std::lock_guard<std::mutex> lk(m_lock);
  TaskEnding ending;
  ending.m_bFinished = finished;
  ending.m_strText = text;
  auto it = m_candidateLists.find(name);
  if (it != m_candidateLists.end()) {
    ending.m_eReason = it->second.Reason();
    ending.m_candidates = it->second.Ranked();
    ++m_nCandidateCopies;
  }
  // Still in its slot: the job is there to read, as for a details view.
  const int active = FindActiveLocked(name);
  if (active >= 0 && m_pActive[active]->m_pRunner && m_pActive[active]->m_pRunner->Task())
    m_pActive[active]->m_pRunner->Task()->VisitJob(
        [&](CBlockDownloader& job) {
          ending.m_blocks = job.GetBlockSnapshot();
          ending.m_nJobAnswerMs = job.AnswerMs();
        });
  for (BlockSnapshot& b : ending.m_blocks) {
    b.m_nSpeed.reset();  // nothing serves a block any more
    if (finished) b.m_nBytes = b.m_nLast - b.m_nFirst + 1;  // merged whole
  }
  m_endings.Record(name, std::move(ending));
}

void CDownloaderApp::OnCandidatesFound(const std::string& name, const std::vector<std::string>& links) {
  std::lock_guard<std::mutex> lk(m_lock);
  // A task cancelled with its entry reports no more.
  if (FindEntryLocked(name) < 0) return;
  m_candidateLists[name].Reset(links);
}

void CDownloaderApp::OnCandidateProbed(const std::string& name, const std::string& link,
                                       const ProbeFigures& probe, CandidateVerdict verdict) {
  std::lock_guard<std::mutex> lk(m_lock);
  auto it = m_candidateLists.find(name);
  if (it != m_candidateLists.end()) it->second.SetProbed(link, probe, verdict);
}

void CDownloaderApp::OnCandidateAudio(const std::string& name, const std::string& link, const AudioFacts& audio) {
  std::lock_guard<std::mutex> lk(m_lock);
  auto it = m_candidateLists.find(name);
  if (it != m_candidateLists.end()) it->second.SetServerAudio(link, audio);
}

void CDownloaderApp::OnCandidateChosen(const std::string& name, const std::string& link, ChosenReason why) {
  std::lock_guard<std::mutex> lk(m_lock);
  if (FindEntryLocked(name) < 0) return;
  auto picked = m_pickedLinks.find(name);
  if (picked != m_pickedLinks.end()) {
    // The stored address is the link the user gave: say so, once.
    if (why == ChosenReason::kStoredAddress && picked->second == link) why = ChosenReason::kGivenLink;
    m_pickedLinks.erase(picked);
  }
  m_candidateLists[name].SetChosen(link, why);
}

void CDownloaderApp::OnCandidateFailed(const std::string& name, const std::string& link,
                                       const std::string& text) {
  std::lock_guard<std::mutex> lk(m_lock);
  auto it = m_candidateLists.find(name);
  if (it != m_candidateLists.end()) it->second.SetFailed(link, text);
}
