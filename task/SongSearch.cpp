#include "task/SongSearch.h"

#include "task/ResultPageSearch.h"

std::unique_ptr<ISongSearch> MakeSongSearch(const TaskSettings& settings) {
  return std::make_unique<CResultPageSearch>(settings);
}
