#pragma once
// One task's texts where the user sees them: its entry (the 301-byte record
// the task list saves) and, while the list is shown, its row. Every write
// looks the entry up by name at that moment; nothing is kept.
#include <string>

#include "task/TaskHost.h"
#include "task/TaskProgress.h"

class CTaskRow {
 public:
  CTaskRow(ITaskHost& host, const std::string& name) : m_host(host), m_strName(name) {}

  // A step's text: always in the row's address cell, in the entry only
  // while it holds no web address (once stored, the entry keeps it).
  void SetStatus(const std::string& text);
  // The entry's address (a link, or empty to forget it), saved at once.
  void StoreAddress(const std::string& text);
  void SetRetries(const std::string& text);
  void SetSize(int bytes);
  // The entry's progress fields; the caller serialises reports so that an
  // older total never overwrites a newer one.
  void WriteProgress(const ProgressTexts& t);
  // The row's progress cells, in the order the list has always had them.
  void ShowProgress(const ProgressTexts& t);
  // A job's text with the number of the block it came from (row only).
  void ShowJobMessage(const std::string& text, int index);

  // The entry's web address; empty when it holds none (or a status text).
  std::string StoredAddress() const;
  // The entry's elapsed seconds, read back from its text.
  int StoredElapsed() const;

 private:
  ITaskHost& m_host;
  const std::string m_strName;
};
