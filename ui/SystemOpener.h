#pragma once
// Hands a file or an address to the system's opener and tells when the
// system could not open it (no opener, no player or browser for the type).
#include <QString>
#include <functional>

class QUrl;

class CSystemOpener {
 public:
  // The opener program, "xdg-open" unless set (tests use their own).
  static void SetProgram(const QString& program);
  static QString Program();
  // Starts the opener for url without waiting for it. onFailure runs on the
  // UI thread when the opener cannot be started or reports a failure.
  static void Open(const QUrl& url, std::function<void()> onFailure);
};
