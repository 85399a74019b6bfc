#pragma once
// Hands the core's reports to the front end's port, whichever thread they
// come from. Message boxes raised before a port is set (record file, update
// check) are kept and shown once one is. Swapping the port waits until no
// call still uses the old one, so a front end may go away right after.
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/UiPort.h"

class UiPortRelay {
 public:
  explicit UiPortRelay(IUiPort* port = nullptr) : m_pPort(port) {}
  UiPortRelay(const UiPortRelay&) = delete;
  UiPortRelay& operator=(const UiPortRelay&) = delete;

  // From now on reports go to port (may be null). Returns once no call is
  // in flight on the old port; kept messages go to the new one.
  void SetPort(IUiPort* port);
  void ShowMessage(const std::string& text, const std::string& caption);
  void SetListText(const std::string& name, int column, const std::string& text);
  void DeleteListRow(const std::string& name);

  // How many message boxes wait for a port at most; later ones are dropped.
  static constexpr size_t kMaxKeptMessages = 100;

 private:
  class Call;
  // The port with one more call counted in flight, or null.
  IUiPort* Acquire();
  void Release();

  std::mutex m_lock;  // leaf lock: the port, calls in flight, kept messages
  std::condition_variable m_idle;
  IUiPort* m_pPort;
  int m_nCalls = 0;
  std::vector<std::pair<std::string, std::string>> m_kept;
};
