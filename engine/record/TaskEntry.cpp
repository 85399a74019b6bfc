#include "engine/record/TaskEntry.h"

const char* EntryColumn(const TaskEntry& e, int column) {
  switch (column) {
    case 0: return e.m_szName;
    case 1: return e.m_szSize;
    case 2: return e.m_szDone;
    case 3: return e.m_szPercent;
    case 4: return e.m_szElapsed;
    case 5: return e.m_szRemaining;
    case 6: return e.m_szSpeed;
    case 7: return e.m_szAddress;
    case 8: return e.m_szBlocks;
    case 9: return e.m_szState;
    case 10: return e.m_szRetries;
    default: return "";
  }
}
