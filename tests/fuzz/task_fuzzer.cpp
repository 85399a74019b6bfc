// What a task reads that others wrote: a result page (its links and the
// target path each one gives) and its own record from downing.dat (the
// stored time it counts on from).
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include "engine/Common.h"
#include "engine/record/TaskEntry.h"
#include "task/DownloadTask.h"
#include "task/ResultPageSearch.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

class FuzzHost : public ITaskHost {
 public:
  TaskEntry entry{};
  TaskSettings GetSettings() override { return {}; }
  bool ReadEntry(const std::string&, TaskEntry& out) override {
    out = entry;
    return true;
  }
  bool EditEntry(const std::string&, const std::function<void(TaskEntry&)>& edit) override {
    edit(entry);
    return true;
  }
  void SaveTaskList() override {}
  void RemoveTask(const std::string&) override {}
  bool HasQueuedTasks() override { return false; }
  void WakeScheduler() override {}
  bool IsListShown() override { return false; }
  void SetListText(const std::string&, int, const std::string&) override {}
  void DeleteListRow(const std::string&) override {}
};

const std::string& Home() {
  static const std::string home = [] {
    char dir[] = "/tmp/virelomp3-fuzz-task-XXXXXX";
    if (!mkdtemp(dir)) abort();
    setenv("VIRELOMP3_HOME", dir, 1);
    setenv("TMPDIR", dir, 1);
    return std::string(dir);
  }();
  return home;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& home = Home();
  FuzzInput in(data, size);
  const std::string name = in.Next();
  const std::string fileType = in.Next();
  const std::string base = in.Next();
  std::string record(in.Next());
  record.resize(sizeof(TaskEntry), '\0');
  const std::string page(in.Rest());

  FuzzHost host;
  std::memcpy(&host.entry, record.data(), sizeof host.entry);
  CDownloadTask task(host, name, TaskSettings{});

  // The stored time is counted on from, for as long as a download runs.
  const int elapsed = task.GetStoredElapsed();
  if (elapsed < 0) abort();
  uint32_t now = 1;
  task.m_fnTick = [&now] { return now; };
  task.RestartProgress();
  if (task.m_nElapsed != elapsed) abort();
  task.OnContentLength(1 << 20);
  for (int i = 0; i < 4; ++i) {
    now += 1500;
    task.OnProgress((i + 1) * 1000, 1 << 18, i % 4);
  }

  TaskSettings settings;
  settings.m_strSearchHead = base;
  (void)CResultPageSearch::BuildSearchURL(name, settings);

  const std::vector<std::string> links = CResultPageSearch::ParseLinks(page, fileType, base);
  if (links.size() > static_cast<size_t>(ISongSearch::kMaxLinks)) abort();
  for (const std::string& link : links) {
    task.m_strURL = link;
    const std::string path = task.MakeTargetPath();
    if (path.empty()) continue;
    // Whatever the link says, the file stays directly in the download folder.
    const std::string folder = home + "/";
    if (path.compare(0, folder.size(), folder) != 0) abort();
    const std::string rest = path.substr(folder.size());
    const size_t slash = rest.find('/');
    if (slash == std::string::npos || rest.find('/', slash + 1) != std::string::npos) abort();
    const std::string file = rest.substr(slash + 1);
    if (file.empty() || file == "." || file == ".." || file.find('\0') != std::string::npos) abort();
  }
  return 0;
}
