#include "task/JobTexts.h"

#include "task/Candidate.h"

void CJobTexts::Keep(const std::string& text) {
  std::lock_guard<std::mutex> g(m_lock);
  m_strLast = text;
  if (IsFailureCause(text)) m_strCause = text;
}

void CJobTexts::Forget() {
  std::lock_guard<std::mutex> g(m_lock);
  m_strLast.clear();
  m_strCause.clear();
}

std::string CJobTexts::TakeFailureText() {
  std::lock_guard<std::mutex> g(m_lock);
  // Why the connection failed says more than which step it failed in.
  std::string text = m_strCause.empty() ? m_strLast : m_strCause;
  m_strCause.clear();
  return text;
}
