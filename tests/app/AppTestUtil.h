#pragma once
// Shared pieces of the application tests: a recording UI port, INI and
// downing.dat helpers, bounded waits.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "app/DownloaderApp.h"
#include "app/IniFile.h"
#include "engine/Common.h"
#include "engine/record/TaskEntry.h"
#include "res/Texts.h"
#include "tests/support/TempHome.h"

namespace apptest {

class RecordingPort : public IUiPort {
 public:
  void MessageBox(const std::string& text, const std::string&) override {
    std::lock_guard<std::mutex> lk(m);
    messages.push_back(text);
  }
  void SetListText(const std::string& name, int column, const std::string& text) override {
    std::lock_guard<std::mutex> lk(m);
    cells[name][column] = text;
    ++writes;
  }
  void DeleteListRow(const std::string& name) override {
    std::lock_guard<std::mutex> lk(m);
    deleted.push_back(name);
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lk(m);
    return messages;
  }
  int Count(const std::string& text) {
    std::lock_guard<std::mutex> lk(m);
    int n = 0;
    for (auto& t : messages) n += t == text;
    return n;
  }
  int DeletedCount(const std::string& name) {
    std::lock_guard<std::mutex> lk(m);
    return static_cast<int>(std::count(deleted.begin(), deleted.end(), name));
  }
  std::mutex m;
  std::vector<std::string> messages;
  std::map<std::string, std::map<int, std::string>> cells;
  std::vector<std::string> deleted;
  int writes = 0;
};

// Polls pred every 10 ms for at most ms milliseconds.
inline bool WaitUntil(const std::function<bool()>& pred, int ms = 10000) {
  for (int waited = 0; waited <= ms; waited += 10) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

inline std::string Ini() { return GetIniFilePath(); }
inline std::string TaskListPath() { return GetAppDirectory() + "/downing.dat"; }

inline std::string Text(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }
inline std::string Name(const TaskEntry& e) { return Text(e.m_szName, sizeof e.m_szName); }
inline std::string State(const TaskEntry& e) { return Text(e.m_szState, sizeof e.m_szState); }

// The records of a downing.dat file, whole records only.
inline std::vector<TaskEntry> ReadRecords(const std::string& path) {
  std::string bytes = vtest::ReadFile(path);
  std::vector<TaskEntry> out;
  for (size_t at = 0; at + sizeof(TaskEntry) <= bytes.size(); at += sizeof(TaskEntry)) {
    TaskEntry e;
    std::memcpy(&e, bytes.data() + at, sizeof e);
    out.push_back(e);
  }
  return out;
}

inline std::vector<std::string> RecordNames(const std::string& path) {
  std::vector<std::string> out;
  for (const TaskEntry& e : ReadRecords(path)) out.push_back(Name(e));
  return out;
}

inline TaskEntry MakeEntry(const std::string& name, const std::string& size, const std::string& address) {
  TaskEntry e{};
  SetEntryText(e.m_szName, name);
  SetEntryText(e.m_szSize, size);
  SetEntryText(e.m_szAddress, address);
  SetEntryText(e.m_szState, "run");
  return e;
}

inline bool WriteRecords(const std::string& path, const std::vector<TaskEntry>& entries) {
  std::string bytes;
  for (const TaskEntry& e : entries) bytes.append(reinterpret_cast<const char*>(&e), sizeof e);
  return vtest::WriteFile(path, bytes);
}

// Options for an application that talks to nobody: no update check, and no
// scheduler unless asked for.
inline AppOptions Quiet(IUiPort* port, bool scheduler = false) {
  AppOptions o;
  o.bCheckForUpdate = false;
  o.bStartScheduler = scheduler;
  o.pUiPort = port;
  return o;
}

}  // namespace apptest

#include "tests/support/ScriptedServer.h"

namespace apptest {

// MP3.ini that makes srv the search engine: "/s?k=" + name is the query.
inline void UseServerAsEngine(const vtest::ScriptedServer& srv, int blocks, const std::string& extra = "") {
  vtest::WriteFile(Ini(), "[FileType]\nCurSel=.MP3\n[.MP3]\nEnginee0_head=" + srv.url("/s?k=") +
                              "\n[Size]\nMinSize=0\nBlocks=" + std::to_string(blocks) +
                              "\n[Speed]\nCheckSpeed=0\nConTimeOut=3\nGetTimeOut=10\n" + extra);
}

// A result page for name linking to /name.mp3, and that file.
inline void AddSong(vtest::ScriptedServer& srv, const std::string& name, const std::string& body,
                    const vtest::Faults& faults = vtest::Faults()) {
  vtest::Route page = vtest::Route::File("<html><a href=\"" + srv.url("/" + name + ".mp3") + "\">" + name + "</a></html>");
  page.contentType = "text/html";
  srv.route("/s?k=" + name, page);
  vtest::Route file = vtest::Route::File(body);
  file.faults = faults;
  srv.route("/" + name + ".mp3", file);
}

// A result page without links: the task's search fails and it stays idle.
inline void AddMissingSong(vtest::ScriptedServer& srv, const std::string& name) {
  srv.route("/s?k=" + name, vtest::Route::File("<html>nothing</html>"));
}

inline std::string DownloadedFile(const vtest::TempHome& home, const std::string& name) {
  return vtest::ReadFile(home.downloads() + "/" + name + ".mp3");
}

}  // namespace apptest
