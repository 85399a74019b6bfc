#pragma once
// The only way the application core reaches a user interface. The Qt frame,
// the console front end and the tests implement it. Calls come from any
// thread and must never wait for the UI thread.
#include <string>

class IUiPort {
 public:
  virtual ~IUiPort() = default;
  // A message box with the given GBK text (and caption, empty for the
  // program's default). Shown asynchronously; returns at once.
  virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
  // Column `column` (0..10) of the download list row named `name`; a name
  // without a row is skipped.
  virtual void SetListText(const std::string& name, int column, const std::string& text) = 0;
  virtual void DeleteListRow(const std::string& name) = 0;
};
