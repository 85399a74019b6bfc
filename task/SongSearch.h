#pragma once
// One search for a song's download links. Every kind of engine answers the
// same way: a ranked list of links that probing, picking and the block
// download treat alike. Links never carry credentials; whatever a server
// wants on each request is added when the request is sent.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "task/TaskHost.h"

enum class SearchOutcome {
  kFound,        // at least one link
  kBadName,      // the name cannot be made into a search
  kUnreachable,  // no answer, or an empty one
  kNoSong,       // an answer without a link of the wanted type
  kFailed,       // the engine answered with an error of its own
};

struct SearchResult {
  SearchOutcome m_outcome = SearchOutcome::kUnreachable;
  // Best first, at most ISongSearch::kMaxLinks, no two alike.
  std::vector<std::string> m_links;
  // What the engine said of each link's audio, by the links' order; may be
  // shorter than m_links (nothing said of the rest).
  std::vector<AudioFacts> m_audio;
  // kFailed: the engine's own words (GBK), for the task's text.
  std::string m_strMessage;
};

struct SearchHooks {
  // Progress texts (GBK) while the search runs; may be empty.
  std::function<void(const std::string&)> status;
  // Polled during network waits; true abandons the search.
  std::function<bool()> cancelled;
  // Called with the address right before the engine is asked; returns the
  // address to ask instead, empty when it is not to be asked. May be empty.
  std::function<std::string(const std::string&)> beforeFetch;
};

class ISongSearch {
 public:
  static constexpr int kMaxLinks = 30;
  virtual ~ISongSearch() = default;
  // name is the song name in GBK, as typed.
  virtual SearchResult Search(const std::string& name, const SearchHooks& hooks) = 0;
};

// The engine the settings select.
std::unique_ptr<ISongSearch> MakeSongSearch(const TaskSettings& settings);
