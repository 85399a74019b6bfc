#pragma once
// The classic engine: head + name + tail fetched as a GBK result page whose
// double-quoted HREF links ending in the file type are the candidates.
#include <string>
#include <vector>

#include "task/SongSearch.h"

class CResultPageSearch : public ISongSearch {
 public:
  explicit CResultPageSearch(const TaskSettings& settings);

  SearchResult Search(const std::string& name, const SearchHooks& hooks) override;

  // Empty when the name gives no address (an empty name).
  static std::string BuildSearchURL(const std::string& name, const TaskSettings& settings);
  // The links of page that end in fileType, in page order. Relative links
  // are resolved against base.
  static std::vector<std::string> ParseLinks(const std::string& page, const std::string& fileType,
                                             const std::string& base);

 private:
  TaskSettings m_settings;
};
