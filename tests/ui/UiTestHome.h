#pragma once
// A private program directory with the application core and the main frame
// for one widget test. The scripted server plays the search engine and the
// song host, so activated tasks never reach the built-in host.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "app/DownloaderApp.h"
#include "engine/Gbk.h"
#include "engine/record/TaskEntry.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"
#include "ui/MainFrame.h"
#include "ui/QtUiPort.h"

namespace uitest {

inline TaskEntry MakeEntry(const std::string& name, const std::string& address = std::string(),
                           const std::string& state = "stop") {
  TaskEntry e{};
  SetEntryText(e.m_szName, name);
  SetEntryText(e.m_szAddress, address);
  SetEntryText(e.m_szBlocks, "2");
  SetEntryText(e.m_szState, state);
  SetEntryText(e.m_szRetries, "0");
  return e;
}

inline std::string Join(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += n + ";";
  return s;
}

inline std::vector<std::string> Names(const std::string& prefix, int n) {
  std::vector<std::string> out;
  for (int i = 1; i <= n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

class UiHome {
 public:
  UiHome() {
    // A search answer without links: activated tasks end quickly and
    // quietly instead of looking for a real engine.
    vtest::Route none = vtest::Route::File("<html><body>nothing</body></html>");
    none.prefix = true;
    server.route("/search", none);
    WriteIni(DefaultIni());
  }
  ~UiHome() { Stop(); }

  std::string DefaultIni() const {
    return "[FileType]\nCurSel=.MP3\nCount=3\nExtName1=.MP3\nExtName2=.WMA\nExtName3=.RM\n"
           "[Enginee]\nCurSel=1\nCount=2\nEnginee1=" + Utf8ToGbk("本地搜索") + "\nEnginee2=" +
           Utf8ToGbk("备用搜索") + "\n[.MP3]\nEnginee1_head=" + server.url("/search?k=") +
           "\nEnginee1_tail=\n[Size]\nMinSize=1\nMaxSize=20\nBlocks=2\n"
           "[Speed]\nCheckSpeed=0\nConTimeOut=5\nGetTimeOut=15\n";
  }
  void WriteIni(const std::string& text) { vtest::WriteFile(home.home() + "/MP3.ini", text); }
  std::string Ini() const { return vtest::ReadFile(home.home() + "/MP3.ini"); }
  std::string TaskListPath() const { return home.home() + "/downing.dat"; }

  void WriteTaskList(const std::vector<TaskEntry>& entries) {
    std::string bytes;
    for (const TaskEntry& e : entries) bytes.append(reinterpret_cast<const char*>(&e), sizeof e);
    vtest::WriteFile(TaskListPath(), bytes);
  }

  // Starts the core, then the frame (shown, as at start-up). Message boxes
  // are recorded instead of opened.
  void Start(bool withFrame = true) {
    AppOptions opts;
    opts.bCheckForUpdate = false;
    app = std::make_unique<CDownloaderApp>(opts);
    if (withFrame) StartFrame();
  }
  void StartFrame() {
    frame = std::make_unique<CMainFrame>();
    frame->GetUiPort()->SetShowBoxes(false);
    QObject::connect(frame->GetUiPort(), &CQtUiPort::MessageShown,
                     [this](const QString& text, const QString&) { messages.push_back(text); });
    frame->show();
    QCoreApplication::processEvents();
  }
  void Stop() {
    frame.reset();
    app.reset();
  }

  std::vector<std::string> TaskNames() const { return app->GetTaskNames(); }
  std::string State(const std::string& name) const {
    TaskEntry e{};
    return app->ReadEntry(name, e) ? std::string(e.m_szState) : std::string("<none>");
  }
  void Touch(const std::string& path) { vtest::WriteFile(path, "x"); }
  bool Exists(const std::string& path) const {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }

  vtest::TempHome home;
  vtest::ScriptedServer server;
  std::unique_ptr<CDownloaderApp> app;
  std::unique_ptr<CMainFrame> frame;
  std::vector<QString> messages;
};

}  // namespace uitest
