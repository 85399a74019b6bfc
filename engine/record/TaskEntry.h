#pragma once
// The 301-byte task record: in-memory table entry, downing.dat record and
// the source of the download list's eleven columns. Layout is fixed.
#include <cstddef>
#include <string>

struct TaskEntry {
  char m_szName[51];
  char m_szSize[11];
  char m_szDone[11];
  char m_szPercent[11];
  char m_szElapsed[11];
  char m_szRemaining[11];
  char m_szSpeed[11];
  char m_szAddress[151];
  char m_szBlocks[11];
  char m_szState[11];
  char m_szRetries[11];
};

static_assert(sizeof(TaskEntry) == 301);
static_assert(offsetof(TaskEntry, m_szName) == 0);
static_assert(offsetof(TaskEntry, m_szSize) == 51);
static_assert(offsetof(TaskEntry, m_szDone) == 62);
static_assert(offsetof(TaskEntry, m_szPercent) == 73);
static_assert(offsetof(TaskEntry, m_szElapsed) == 84);
static_assert(offsetof(TaskEntry, m_szRemaining) == 95);
static_assert(offsetof(TaskEntry, m_szSpeed) == 106);
static_assert(offsetof(TaskEntry, m_szAddress) == 117);
static_assert(offsetof(TaskEntry, m_szBlocks) == 268);
static_assert(offsetof(TaskEntry, m_szState) == 279);
static_assert(offsetof(TaskEntry, m_szRetries) == 290);

// Copies text into a fixed field, cut on a GBK character boundary so the
// field never ends in half a character; always NUL-terminated.
template <size_t N>
void SetEntryText(char (&field)[N], const std::string& text);

// Column c (0..10) of the download list as a field of the entry.
const char* EntryColumn(const TaskEntry& e, int column);

#include "engine/record/TaskEntry.inl"
