#pragma once
// How a download task reaches the application, and through it the download
// list. Everything is keyed by the song name: a task never holds a pointer
// to its entry or a row index, both of which can vanish under it.
#include <functional>
#include <string>
#include <vector>
#include "engine/record/TaskEntry.h"
#include "task/Candidate.h"

// A copy of the settings in force, taken under the application lock.
struct TaskSettings {
  std::string m_strFileType = ".MP3";
  std::string m_strSearchHead;
  std::string m_strSearchTail;
  // A music server of the Subsonic kind when m_strServer is set (GBK as in
  // MP3.ini; the password plain or "enc:" + hex). Head and tail are then
  // not used.
  std::string m_strServer;
  std::string m_strUser;
  std::string m_strPassword;
  // The file's other music servers: a stored link of theirs is refused
  // rather than sent without the credentials it needs.
  std::vector<std::string> m_otherServers;
  int m_nMinSize = 1048576;
  int m_nMaxSize = 20971520;
  int m_nBlocks = 4;
  bool m_bCheckSpeed = true;
  // Probe every link and take the best bitrate among the quick ones.
  bool m_bPreferQuality = false;
};

class ITaskHost {
 public:
  virtual ~ITaskHost() = default;

  virtual TaskSettings GetSettings() = 0;
  // Entry named `name`, looked up under the application lock at the moment
  // of the call. False (and nothing done) when there is no such entry.
  virtual bool ReadEntry(const std::string& name, TaskEntry& out) = 0;
  virtual bool EditEntry(const std::string& name, const std::function<void(TaskEntry&)>& edit) = 0;

  virtual void SaveTaskList() = 0;
  // Frees the slot and the entry and hands the task to the reaper; the
  // caller must not touch the task afterwards. Called with no lock held.
  virtual void RemoveTask(const std::string& name) = 0;
  // True when more entries than active slots are in use (someone queued).
  virtual bool HasQueuedTasks() = 0;
  virtual void WakeScheduler() = 0;
  // The task gave up (its entry is marked failed and saved). Its last call
  // into the host on that activation, made on a thread of the task with no
  // lock held; the host may hand the task to be deleted.
  virtual void OnTaskGaveUp(const std::string& /*name*/) {}
  // How an activation ended, for the details views: finished with the
  // song's path (UTF-8), or given up with its GBK text. Called on a thread
  // of the task with no lock held, before RemoveTask or OnTaskGaveUp.
  virtual void OnTaskEnded(const std::string& /*name*/, bool /*finished*/, const std::string& /*text*/) {}
  // Called right before a search fetches url, and before a download from
  // a stored address starts, on the task's thread; the host may make what
  // serves url ready (the bundled server). cancelled() tells
  // when the task no longer wants to wait. Returns the address to ask
  // instead of url (url itself, or url on the port the bundled server
  // really runs on); empty when whoever answers there is not to be trusted.
  virtual std::string BeforeSearch(const std::string& url, const std::function<bool()>& /*cancelled*/) {
    return url;
  }
  // The address to keep in the task list for a link that is to be
  // downloaded (one on the bundled server's own port goes back to the
  // built-in one).
  virtual std::string StoredFormOf(const std::string& url) { return url; }

  // The download list port. Writes are queued to the UI and never wait.
  virtual bool IsListShown() = 0;
  virtual void SetListText(const std::string& name, int column, const std::string& text) = 0;
  virtual void DeleteListRow(const std::string& name) = 0;

  // What became of the candidate links, for the details views. Called with
  // no lock of the task's held; nobody need listen.
  virtual void OnCandidatesFound(const std::string& /*name*/, const std::vector<std::string>& /*links*/) {}
  virtual void OnCandidateProbed(const std::string& /*name*/, const std::string& /*link*/,
                                 const ProbeFigures& /*probe*/, CandidateVerdict /*verdict*/) {}
  // What a music server's answer said of a link's audio.
  virtual void OnCandidateAudio(const std::string& /*name*/, const std::string& /*link*/, const AudioFacts& /*audio*/) {}
  virtual void OnCandidateChosen(const std::string& /*name*/, const std::string& /*link*/, ChosenReason /*why*/) {}
  virtual void OnCandidateFailed(const std::string& /*name*/, const std::string& /*link*/,
                                 const std::string& /*text*/) {}
};
