#include "task/TaskRow.h"

#include "engine/record/TaskEntry.h"
#include "res/Texts.h"
#include "task/Candidate.h"

namespace {

constexpr int kColSize = 1;
constexpr int kColDone = 2;
constexpr int kColPercent = 3;
constexpr int kColElapsed = 4;
constexpr int kColRemaining = 5;
constexpr int kColSpeed = 6;
constexpr int kColAddress = 7;
constexpr int kColRetries = 10;

}  // namespace

void CTaskRow::SetStatus(const std::string& text) {
  m_host.EditEntry(m_strName, [&](TaskEntry& e) {
    if (!IsWebAddress(e.m_szAddress)) SetEntryText(e.m_szAddress, text);
  });
  if (m_host.IsListShown()) m_host.SetListText(m_strName, kColAddress, text);
}

void CTaskRow::StoreAddress(const std::string& text) {
  m_host.EditEntry(m_strName, [&](TaskEntry& e) { SetEntryText(e.m_szAddress, text); });
  m_host.SaveTaskList();
}

void CTaskRow::SetRetries(const std::string& text) {
  m_host.EditEntry(m_strName, [&](TaskEntry& e) { SetEntryText(e.m_szRetries, text); });
  if (m_host.IsListShown()) m_host.SetListText(m_strName, kColRetries, text);
}

void CTaskRow::SetSize(int bytes) {
  const std::string text = CTaskProgress::KiloBytesText(bytes);
  m_host.EditEntry(m_strName, [&](TaskEntry& e) { SetEntryText(e.m_szSize, text); });
  if (m_host.IsListShown()) m_host.SetListText(m_strName, kColSize, text);
}

void CTaskRow::WriteProgress(const ProgressTexts& t) {
  m_host.EditEntry(m_strName, [&](TaskEntry& e) {
    SetEntryText(e.m_szDone, t.m_strDone);
    SetEntryText(e.m_szPercent, t.m_strPercent);
    SetEntryText(e.m_szElapsed, t.m_strElapsed);
    SetEntryText(e.m_szRemaining, t.m_strRemaining);
    if (!t.m_strSpeed.empty()) SetEntryText(e.m_szSpeed, t.m_strSpeed);
  });
}

void CTaskRow::ShowProgress(const ProgressTexts& t) {
  if (!m_host.IsListShown()) return;
  m_host.SetListText(m_strName, kColDone, t.m_strDone);
  m_host.SetListText(m_strName, kColPercent, t.m_strPercent);
  if (!t.m_strSpeed.empty()) m_host.SetListText(m_strName, kColSpeed, t.m_strSpeed);
  m_host.SetListText(m_strName, kColElapsed, t.m_strElapsed);
  m_host.SetListText(m_strName, kColRemaining, t.m_strRemaining);
}

void CTaskRow::ShowJobMessage(const std::string& text, int index) {
  if (!m_host.IsListShown()) return;
  std::string fmt = T(txt::kThreadMessage);
  const size_t at = fmt.find("%d");
  if (at != std::string::npos) fmt.replace(at, 2, std::to_string(index));
  const size_t s = fmt.find("%s");
  if (s != std::string::npos) fmt.replace(s, 2, text);
  m_host.SetListText(m_strName, kColAddress, fmt);
}

std::string CTaskRow::StoredAddress() const {
  TaskEntry e{};
  if (!m_host.ReadEntry(m_strName, e)) return {};
  e.m_szAddress[sizeof e.m_szAddress - 1] = '\0';
  return IsWebAddress(e.m_szAddress) ? std::string(e.m_szAddress) : std::string();
}

int CTaskRow::StoredElapsed() const {
  TaskEntry e{};
  if (!m_host.ReadEntry(m_strName, e)) return 0;
  e.m_szElapsed[sizeof e.m_szElapsed - 1] = '\0';
  // The record keeps the time only as the text it shows.
  return CTaskProgress::ParseMinutesSeconds(e.m_szElapsed);
}
