#include "app/TaskEndings.h"

#include <algorithm>

void TaskEndings::Record(const std::string& name, TaskEnding ending) {
  Forget(name);
  m_endings[name] = std::move(ending);
  m_order.push_back(name);
  while (m_order.size() > kKept) {
    m_endings.erase(m_order.front());
    m_order.pop_front();
  }
}

const TaskEnding* TaskEndings::Find(const std::string& name) const {
  auto it = m_endings.find(name);
  return it == m_endings.end() ? nullptr : &it->second;
}

void TaskEndings::Forget(const std::string& name) {
  if (m_endings.erase(name) == 0) return;
  m_order.erase(std::remove(m_order.begin(), m_order.end(), name), m_order.end());
}

void TaskEndings::Clear() {
  m_endings.clear();
  m_order.clear();
}
