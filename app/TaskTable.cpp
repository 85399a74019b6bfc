#include "app/TaskTable.h"

#include "app/TaskRunner.h"
#include "engine/TextRules.h"

struct TaskTable::ActiveSlot {
  char m_szName[51] = {};
  std::unique_ptr<TaskRunner> m_pRunner;  // the task the slot owns
};

TaskTable::TaskTable() = default;
TaskTable::~TaskTable() = default;

std::vector<std::string> TaskTable::SplitNames(const std::string& text) {
  std::vector<std::string> names;
  std::string rest = TrimWhiteSpace(text);
  if (rest.empty()) return names;
  if (rest.back() != ';') rest += ';';
  while (names.size() < 10) {
    size_t semi = rest.find(';');
    names.push_back(rest.substr(0, semi));
    rest.erase(0, semi + 1);
    if (rest.empty() || rest.find(';') == std::string::npos) break;
  }
  return names;
}

int TaskTable::FindEntry(const std::string& name) const {
  for (int i = 0, seen = 0; i < kMaxTasks && seen < m_nTaskCount; ++i) {
    if (!m_pTasks[i]) continue;
    ++seen;
    if (EntryText(m_pTasks[i]->m_szName) == name) return i;
  }
  return -1;
}

int TaskTable::FindSlot(const std::string& name) const {
  for (int i = 0, seen = 0; i < kMaxActive && seen < m_nActiveCount; ++i) {
    if (!m_pActive[i]) continue;
    ++seen;
    if (EntryText(m_pActive[i]->m_szName) == name) return i;
  }
  return -1;
}

TaskEntry* TaskTable::Find(const std::string& name) {
  const int at = FindEntry(name);
  return at < 0 ? nullptr : m_pTasks[at].get();
}

const TaskEntry* TaskTable::Find(const std::string& name) const {
  const int at = FindEntry(name);
  return at < 0 ? nullptr : m_pTasks[at].get();
}

int TaskTable::Add(const std::string& name, TaskEntry** added) {
  int freePlace = -1;
  for (int i = 0, seen = 0; i < kMaxTasks; ++i) {
    TaskEntry* e = m_pTasks[i].get();
    if (!e) {
      if (freePlace < 0) freePlace = i;
      if (seen >= m_nTaskCount) break;
      continue;
    }
    ++seen;
    if (EntryText(e->m_szName) == name) {
      *added = e;
      return -1;
    }
  }
  if (freePlace < 0) return -2;
  m_pTasks[freePlace] = std::make_unique<TaskEntry>();
  SetEntryText(m_pTasks[freePlace]->m_szName, name);
  ++m_nTaskCount;
  *added = m_pTasks[freePlace].get();
  return 0;
}

bool TaskTable::Remove(const std::string& name) {
  const int at = FindEntry(name);
  if (at < 0) return false;
  m_pTasks[at].reset();
  --m_nTaskCount;
  return true;
}

void TaskTable::ClearEntries() {
  for (auto& e : m_pTasks) e.reset();
  m_nTaskCount = 0;
}

void TaskTable::LoadEntries(const std::vector<TaskEntry>& entries) {
  ClearEntries();
  for (const TaskEntry& e : entries) {
    if (m_nTaskCount >= kMaxTasks) break;
    m_pTasks[m_nTaskCount++] = std::make_unique<TaskEntry>(e);
  }
}

std::vector<SlotEntry> TaskTable::Entries() const {
  std::vector<SlotEntry> out;
  for (int i = 0; i < kMaxTasks && static_cast<int>(out.size()) < m_nTaskCount; ++i) {
    if (m_pTasks[i]) out.push_back(SlotEntry{i, *m_pTasks[i]});
  }
  return out;
}

std::optional<TaskEntry> TaskTable::EntryAt(int at) const {
  if (at < 0 || at >= kMaxTasks || !m_pTasks[at]) return std::nullopt;
  return *m_pTasks[at];
}

int TaskTable::NextInState(int from, const std::string& state, std::string& name) const {
  for (int i = 0, seen = 0; i < kMaxTasks && seen < m_nTaskCount; ++i) {
    const TaskEntry* e = m_pTasks[i].get();
    if (!e) continue;
    ++seen;
    if (i >= from && EntryText(e->m_szState) == state) {
      name = EntryText(e->m_szName);
      return i;
    }
  }
  return -1;
}

bool TaskTable::IsActive(const std::string& name) const { return FindSlot(name) >= 0; }

TaskRunner* TaskTable::Runner(const std::string& name) const {
  const int at = FindSlot(name);
  return at < 0 ? nullptr : m_pActive[at]->m_pRunner.get();
}

bool TaskTable::HasFreeSlot() const { return m_nActiveCount < kMaxActive; }

bool TaskTable::Fill(const std::string& name, std::unique_ptr<TaskRunner>& runner) {
  for (auto& slot : m_pActive) {
    if (slot) continue;
    slot = std::make_unique<ActiveSlot>();
    SetEntryText(slot->m_szName, name);
    slot->m_pRunner = std::move(runner);
    ++m_nActiveCount;
    return true;
  }
  return false;
}

bool TaskTable::Take(const std::string& name, std::unique_ptr<TaskRunner>& runner) {
  const int at = FindSlot(name);
  if (at < 0) return false;
  runner = std::move(m_pActive[at]->m_pRunner);
  m_pActive[at].reset();
  --m_nActiveCount;
  return true;
}

std::vector<std::unique_ptr<TaskRunner>> TaskTable::TakeAll() {
  std::vector<std::unique_ptr<TaskRunner>> runners;
  for (auto& slot : m_pActive) {
    if (!slot) continue;
    runners.push_back(std::move(slot->m_pRunner));
    slot.reset();
  }
  m_nActiveCount = 0;
  return runners;
}

std::optional<std::string> TaskTable::SlotNameAt(int at) const {
  if (at < 0 || at >= kMaxActive || !m_pActive[at]) return std::nullopt;
  return EntryText(m_pActive[at]->m_szName);
}

std::vector<std::string> TaskTable::ActiveNames() const {
  std::vector<std::string> out;
  for (const auto& slot : m_pActive) {
    if (slot) out.push_back(EntryText(slot->m_szName));
  }
  return out;
}
