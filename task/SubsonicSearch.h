#pragma once
// A music server speaking the Subsonic REST API as a search engine: the
// songs search3 finds whose suffix is the wanted file type, in the server's
// order, each as its download.view link.
#include <memory>
#include <string>

#include "task/SongSearch.h"

class CJsonValue;
class CSubsonicServer;
struct SubsonicReply;

class CSubsonicSearch : public ISongSearch {
 public:
  static constexpr int kSongCount = 30;

  explicit CSubsonicSearch(const TaskSettings& settings);

  SearchResult Search(const std::string& name, const SearchHooks& hooks) override;

  // The file type as the API spells a suffix: ".MP3" gives "mp3".
  static std::string SuffixOf(const std::string& fileType);
  // Bitrate, duration and suffix as one song of the answer gives them.
  static AudioFacts AudioOf(const CJsonValue& song, const std::string& suffix);

 private:
  static void TellSwitch(const SubsonicReply& reply, const SearchHooks& hooks);
  static void Fail(const SubsonicReply& reply, SearchResult& result);

  TaskSettings m_settings;
  std::shared_ptr<CSubsonicServer> m_server;
};
