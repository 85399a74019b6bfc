#include "cli/ConsolePort.h"

#include <cstdio>

#include "engine/Gbk.h"

void CConsolePort::MessageBox(const std::string& text, const std::string& caption) {
  const std::string line = GbkToUtf8(caption.empty() ? text : caption + ": " + text);
  std::lock_guard<std::mutex> lk(m_lock);
  std::fprintf(stderr, "! %s\n", line.c_str());
}

void CConsolePort::SetListText(const std::string& name, int column, const std::string& text) {
  if (column < 0 || column > 10) return;
  std::lock_guard<std::mutex> lk(m_lock);
  auto it = m_rows.find(name);
  if (it == m_rows.end() || it->second.finished) return;  // no row: skipped, as in the list
  it->second.cells[column] = text;
  it->second.lastWrite = std::chrono::steady_clock::now();
}

void CConsolePort::DeleteListRow(const std::string& name) {
  std::lock_guard<std::mutex> lk(m_lock);
  auto it = m_rows.find(name);
  if (it != m_rows.end()) it->second.finished = true;
}

void CConsolePort::AddRow(const std::string& name) {
  std::lock_guard<std::mutex> lk(m_lock);
  ConsoleRow& row = m_rows[name];
  row = ConsoleRow();
  row.cells[0] = name;
}

ConsoleRow CConsolePort::GetRow(const std::string& name) {
  std::lock_guard<std::mutex> lk(m_lock);
  return m_rows[name];
}
