#include "task/TaskProgress.h"

#include <algorithm>
#include <climits>

#include "engine/Common.h"
#include "engine/TextRules.h"

void CTaskProgress::StartJob(int elapsedSeconds) {
  m_nLastTick = 0;
  m_nElapsed = elapsedSeconds;
  m_nLastBytes = 0;
  // A job that falls back to one block after one with several must not
  // count the old blocks' bytes again.
  for (int& b : m_nBlockBytes) b = 0;
  m_more.clear();
}

int CTaskProgress::BlockBytes(int index) const {
  if (index >= 0 && index < kCounters) return m_nBlockBytes[index];
  const size_t more = static_cast<size_t>(index - kCounters);
  return index >= kCounters && more < m_more.size() ? m_more[more] : 0;
}

bool CTaskProgress::Report(int index, int received, const std::function<uint32_t()>& tick, ProgressFigures& out) {
  if (index < 0 || index >= kMaxBlockNumber) return false;
  if (index < kCounters) {
    m_nBlockBytes[index] = received;
  } else {
    const size_t more = static_cast<size_t>(index - kCounters);
    if (m_more.size() <= more) m_more.resize(more + 1);
    m_more[more] = received;
  }
  int64_t total = 0;
  for (int b : m_nBlockBytes) total += b;
  for (int b : m_more) total += b;

  out.m_bMeasured = false;
  const uint32_t now = tick();
  const uint32_t dt = now - m_nLastTick;
  if (dt > 1000) {
    // 64-bit throughout: files past 21 MB overflow 32-bit products.
    out.m_bMeasured = true;
    out.m_nSpeed = (total - m_nLastBytes) * 1000 / 1024 / dt;
    if (m_nLastTick > 0) {
      // Saturates: a damaged record can start the count near the limit.
      m_nElapsed = static_cast<int>(std::min<int64_t>(static_cast<int64_t>(m_nElapsed) + dt / 1000, INT_MAX));
      if (total > 0) {
        const int64_t left = (static_cast<int64_t>(m_nFileSize) - total) * m_nElapsed / total;
        m_nRemaining = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
      }
    }
    m_nLastTick = tick();
    m_nLastBytes = total;
  }
  out.m_nDone = total;
  out.m_nPercent = m_nFileSize > 0 ? total * 100 / m_nFileSize : 0;
  out.m_nElapsed = m_nElapsed;
  out.m_nRemaining = m_nRemaining;
  return true;
}

ProgressTexts CTaskProgress::Texts(const ProgressFigures& f) {
  ProgressTexts t;
  t.m_strDone = KiloBytesText(f.m_nDone);
  t.m_strPercent = std::to_string(f.m_nPercent) + "%";
  t.m_strElapsed = FormatMinutesSeconds(f.m_nElapsed);
  t.m_strRemaining = FormatMinutesSeconds(f.m_nRemaining);
  if (f.m_bMeasured) t.m_strSpeed = std::to_string(f.m_nSpeed) + "KB/S";
  return t;
}

std::string CTaskProgress::KiloBytesText(long long bytes) {
  std::string s = std::to_string(bytes / 1024);
  if (bytes >= 0) InsertThousandSeparators(s);
  return s + "KB";
}

int CTaskProgress::ParseMinutesSeconds(const std::string& text) {
  if (text.empty()) return 0;
  const long long minutes = LeadingInt(text.substr(0, text.find('m')));
  long long seconds = 0;
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    const size_t s = text.find('s');
    const size_t end = (s == std::string::npos || s < colon) ? text.size() : s;
    seconds = LeadingInt(text.substr(colon + 1, end - colon - 1));
  }
  return static_cast<int>(std::clamp(minutes * 60 + seconds, 0LL, static_cast<long long>(INT_MAX)));
}
