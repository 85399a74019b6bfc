#pragma once
#include <cstring>
#include "engine/Gbk.h"

template <size_t N>
void SetEntryText(char (&field)[N], const std::string& text) {
  std::string cut = CutGbk(text, N - 1);
  std::memcpy(field, cut.data(), cut.size());
  field[cut.size()] = '\0';
}
