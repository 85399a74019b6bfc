#include "task/SongSearch.h"

#include "task/ResultPageSearch.h"
#include "task/SubsonicSearch.h"

std::unique_ptr<ISongSearch> MakeSongSearch(const TaskSettings& settings) {
  if (!settings.m_strServer.empty()) return std::make_unique<CSubsonicSearch>(settings);
  return std::make_unique<CResultPageSearch>(settings);
}
