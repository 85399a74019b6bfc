#pragma once
// The console's stand-in for the download list: message boxes become lines
// on stderr; list writes fill rows that the command prints. Worker threads
// call in; nothing here waits for long.
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "app/UiPort.h"

struct ConsoleRow {
  std::string cells[11];  // GBK, as the list would show them
  bool finished = false;  // the task removed its row on success
  std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
};

class CConsolePort : public IUiPort {
 public:
  void MessageBox(const std::string& text, const std::string& caption) override;
  void SetListText(const std::string& name, int column, const std::string& text) override;
  void DeleteListRow(const std::string& name) override;
  void AddRow(const std::string& name);
  ConsoleRow GetRow(const std::string& name);

 private:
  std::mutex m_lock;
  std::map<std::string, ConsoleRow> m_rows;
};
