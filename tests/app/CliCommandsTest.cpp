// The console's commands as a user meets them: help and mistakes, list and
// remove, and the ways a download run ends (closed output, hang-up) or
// takes its names (byte-order mark, CRLF, names GBK cannot hold).
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/SongMaker.h"
#include "tests/app/AppTestUtil.h"
#include "tests/app/CliTestUtil.h"

using namespace apptest;

namespace {

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CliCommandsTest : public ::testing::Test {
 protected:
  // Block files, sidecar and lock in the temp directory and an unfinished
  // merge in the download folder, for the task named name (UTF-8).
  std::vector<std::string> TaskFiles(const std::string& name) {
    return {home.temp() + name + ".mp3-0.hpt", home.temp() + name + ".mp3-1.hpt", home.temp() + name + ".mp3.hpt",
            home.temp() + name + ".mp3.lock", home.downloads() + "/" + name + ".mp3.part"};
  }
  void MakeTaskFiles(const std::string& name) {
    for (const std::string& f : TaskFiles(name)) ASSERT_TRUE(vtest::WriteFile(f, "x")) << f;
  }
  int CountTaskFiles(const std::string& name) {
    int n = 0;
    for (const std::string& f : TaskFiles(name)) n += Exists(f);
    return n;
  }
  vtest::TempHome home;
  vtest::ScriptedServer srv;
};

// ---- help and mistakes ----

TEST_F(CliCommandsTest, HelpDescribesEveryCommandAndOption) {
  CliRun all = RunCli({"help"}, home.root());
  EXPECT_EQ(all.status, 0) << all.err;
  for (const char* word : {"fetch", "get", "list", "remove", "--blocks", "--no-resume", "--no-update-check",
                           "--idle-timeout", "--failed", "--all", "--home", "退出状态", "下载歌曲"})
    EXPECT_TRUE(Has(all.out, word)) << word;
  for (const char* command : {"fetch", "get", "list", "remove"}) {
    CliRun own = RunCli({command, "--help"}, home.root());
    EXPECT_EQ(own.status, 0) << command;
    EXPECT_TRUE(Has(own.out, std::string("用法: virelomp3-cli ") + command)) << own.out;
    EXPECT_TRUE(Has(all.out, own.out)) << command;
    CliRun named = RunCli({"help", command}, home.root());
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(named.out, own.out);
  }
  // Help anywhere among the arguments wins, and nothing runs.
  EXPECT_EQ(RunCli({"get", "a", "-h"}, home.root()).status, 0);
  EXPECT_EQ(RunCli({"--help"}, home.root()).status, 0);
  EXPECT_FALSE(Exists(TaskListPath()));
}

TEST_F(CliCommandsTest, MistakesPrintTheUsageAndExitTwo) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{}, "用法: virelomp3-cli"},
      {{"frob"}, "未知命令 'frob'"},
      {{"help", "frob"}, "未知命令 'frob'"},
      {{"get", "--frob", "a"}, "未知选项 --frob"},
      {{"get", "a", "--idle-timeout"}, "--idle-timeout 需要 SEC"},
      {{"get", "--link", "http://h/a.mp3", "a;b"}, "--link 只能用于一个歌名"},
      {{"list", "--all"}, "未知选项 --all"},
      {{"list", "extra"}, "多余的参数 extra"},
      {{"remove"}, "请指定任务"},
      {{"remove", "--all=yes"}, "--all 不带值"},
      {{"search", "a", "b"}, "一次只能搜索一个歌名"},
      {{"fetch", "--blocks"}, "--blocks 需要 N"},
      {{"fetch", "--host-connections"}, "--host-connections 需要 N"},
  };
  for (const Case& c : cases) {
    CliRun r = RunCli(c.args, home.root());
    const std::string shown = c.args.empty() ? "(none)" : c.args[0] + " ...";
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_TRUE(Has(r.err, c.says)) << shown << ": " << r.err;
    EXPECT_TRUE(Has(r.err, "用法:")) << shown;
    EXPECT_TRUE(r.out.empty()) << shown;
  }
  EXPECT_FALSE(Exists(TaskListPath()));
}

TEST_F(CliCommandsTest, FetchHostConnectionsOutsideOneToSixteenIsRefusedBeforeAnyConnect) {
  for (const char* n : {"0", "17", "2x", "-1"}) {
    CliRun r = RunCli({"fetch", "http://127.0.0.1:9/a.mp3", home.root() + "/a.mp3", "--host-connections=" + std::string(n)},
                      home.root());
    EXPECT_EQ(r.status, 2) << n;
    EXPECT_TRUE(Has(r.err, "1 到 16 之间的整数")) << n << ": " << r.err;
  }
}

// ---- list ----

TEST_F(CliCommandsTest, ListOfAMissingHomeIsAnErrorNotAnEmptyList) {
  const std::string dir = home.root() + "/no/such/dir";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"list", "--home", dir}, std::vector<std::string>{"--home", dir, "list"}}) {
    CliRun r = RunCli(args, home.root());
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "程序目录不存在: " + dir)) << r.err;
    EXPECT_FALSE(Has(r.out, "没有下载任务."));
  }
  EXPECT_FALSE(Exists(dir));
  CliRun empty = RunCli({"list"}, home.root());
  EXPECT_EQ(empty.status, 0);
  EXPECT_TRUE(Has(empty.out, "没有下载任务."));
}

// ---- remove ----

TEST_F(CliCommandsTest, RemoveTakesTasksWithTheirFilesByNameFailureOrAll) {
  TaskEntry failed = MakeEntry(T("歌b"), "", T("搜索歌曲失败."));
  SetEntryText(failed.m_szRetries, T(txt::kFailedMark));
  TaskEntry retrying = MakeEntry("c", "", "http://h/c.mp3");
  SetEntryText(retrying.m_szRetries, "2");
  ASSERT_TRUE(WriteRecords(TaskListPath(), {MakeEntry("a", "", "http://h/a.mp3"), failed, retrying,
                                            MakeEntry("d", "", "http://h/d.mp3")}));
  for (const char* n : {"a", "歌b", "c", "d"}) MakeTaskFiles(n);
  ASSERT_TRUE(vtest::WriteFile(home.downloads() + "/a.mp3", "finished song"));

  // The list shows which task gave up.
  EXPECT_TRUE(Has(RunCli({"list"}, home.root()).out, "失败"));

  CliRun named = RunCli({"remove", "a; zzz"}, home.root());
  EXPECT_EQ(named.status, 1) << named.err;
  EXPECT_TRUE(Has(named.err, "没有这个下载任务: zzz")) << named.err;
  EXPECT_TRUE(Has(named.out, "已删除: a"));
  EXPECT_EQ(RecordNames(TaskListPath()), (std::vector<std::string>{T("歌b"), "c", "d"}));
  EXPECT_EQ(CountTaskFiles("a"), 0);
  EXPECT_EQ(vtest::ReadFile(home.downloads() + "/a.mp3"), "finished song");
  for (const char* n : {"歌b", "c", "d"}) EXPECT_EQ(CountTaskFiles(n), 5) << n;

  // Only the task that gave up, not the one still counting its failures.
  CliRun failures = RunCli({"remove", "--failed"}, home.root());
  EXPECT_EQ(failures.status, 0) << failures.err;
  EXPECT_EQ(RecordNames(TaskListPath()), (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(CountTaskFiles("歌b"), 0);
  EXPECT_EQ(CountTaskFiles("c"), 5);
  // Nothing failed now: still done.
  EXPECT_EQ(RunCli({"remove", "--failed"}, home.root()).status, 0);

  CliRun all = RunCli({"remove", "--all"}, home.root());
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_TRUE(ReadRecords(TaskListPath()).empty());
  EXPECT_EQ(CountTaskFiles("c") + CountTaskFiles("d"), 0);
  EXPECT_TRUE(Exists(home.downloads() + "/a.mp3"));
}

TEST_F(CliCommandsTest, RemoveRefusesBesideARunningCopyAndAMissingHome) {
  ASSERT_TRUE(WriteRecords(TaskListPath(), {MakeEntry("a", "", "http://h/a.mp3")}));
  MakeTaskFiles("a");
  {
    RecordingPort port;
    CDownloaderApp running(Quiet(&port));
    ASSERT_FALSE(running.IsRefused());
    CliRun r = RunCli({"remove", "--all"}, home.root());
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Has(r.err, home.home())) << r.err;
  }
  EXPECT_EQ(RecordNames(TaskListPath()), std::vector<std::string>{"a"});
  EXPECT_EQ(CountTaskFiles("a"), 5);
  CliRun missing = RunCli({"remove", "--all", "--home", home.root() + "/nowhere"}, home.root());
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(Has(missing.err, "程序目录不存在"));
}

TEST_F(CliCommandsTest, FailedNamesOfARunAreMarkedAndClearedByRemoveFailed) {
  UseServerAsEngine(srv, 1);
  AddSong(srv, "ok", vtest::Mp3Bytes(50000, 1));
  AddMissingSong(srv, "gone");
  CliRun got = RunCli({"get", "--no-update-check", "ok;gone"}, home.root());
  EXPECT_EQ(got.status, 1) << got.err;
  EXPECT_TRUE(Has(got.err, "1 个完成, 1 个失败")) << got.err;
  const std::vector<TaskEntry> recs = ReadRecords(TaskListPath());
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(Name(recs[0]), "gone");
  EXPECT_EQ(Text(recs[0].m_szRetries, 11), T(txt::kFailedMark));
  EXPECT_EQ(RunCli({"remove", "--failed"}, home.root()).status, 0);
  EXPECT_TRUE(ReadRecords(TaskListPath()).empty());
}

TEST_F(CliCommandsTest, RemoveThatCannotSaveSaysSoAndKeepsTheFiles) {
  ASSERT_TRUE(WriteRecords(TaskListPath(), {MakeEntry("a", "", "http://h/a.mp3")}));
  MakeTaskFiles("a");
  // The save works on a copy beside downing.dat; a folder in its place
  // makes the save fail even for root.
  ASSERT_TRUE(std::filesystem::create_directory(TaskListPath() + ".new"));
  CliRun r = RunCli({"remove", "--all"}, home.root());
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_TRUE(Has(r.err, "创建失败")) << r.err;
  EXPECT_FALSE(Has(r.out, "已删除")) << r.out;
  EXPECT_EQ(RecordNames(TaskListPath()), std::vector<std::string>{"a"});
  EXPECT_EQ(CountTaskFiles("a"), 5);
}

TEST_F(CliCommandsTest, IdleTimeoutMarksTheTaskFailedInItsRecord) {
  UseServerAsEngine(srv, 1);
  vtest::Faults stuck;
  stuck.stallAfterBodyBytes = 1000;
  stuck.stallMs = 6000;
  AddSong(srv, "stuck", vtest::RandomBytes(200000, 7), stuck);
  CliRun got = RunCli({"get", "--no-update-check", "--idle-timeout", "1", "stuck"}, home.root());
  EXPECT_EQ(got.status, 1) << got.err;
  EXPECT_TRUE(Has(got.err, "0 个完成, 1 个失败")) << got.err;
  const std::vector<TaskEntry> recs = ReadRecords(TaskListPath());
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(Text(recs[0].m_szRetries, 11), T(txt::kFailedMark));
  EXPECT_EQ(RunCli({"remove", "--failed"}, home.root()).status, 0);
  EXPECT_TRUE(ReadRecords(TaskListPath()).empty());
}

// ---- how a download run takes its names ----

TEST_F(CliCommandsTest, StdinWithAByteOrderMarkAndCrlfRunsAndUnsavableNamesAreRefusedAlone) {
  UseServerAsEngine(srv, 1);
  const std::string a = vtest::Mp3Bytes(40000, 2), b = vtest::Mp3Bytes(30000, 3);
  AddSong(srv, "a", a);
  AddSong(srv, "b", b);
  CliRun r = RunCli({"get", "--no-update-check"}, home.root(), "\xEF\xBB\xBF" "a\r\n\xF0\x9F\x98\x80\r\nb;\r\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(DownloadedFile(home, "a"), a);
  EXPECT_EQ(DownloadedFile(home, "b"), b);
  EXPECT_TRUE(Has(r.err, "歌名含有无法保存的字符: \xF0\x9F\x98\x80")) << r.err;
  EXPECT_TRUE(Has(r.err, "2 个完成, 0 个失败")) << r.err;
  // Each name searched as itself, nothing else.
  for (const vtest::Request& q : srv.requests())
    EXPECT_TRUE(q.target == "/s?k=a" || q.target == "/s?k=b" || q.target[1] != 's') << q.target;

  CliRun none = RunCli({"get", "--no-update-check", "\xF0\x9F\x98\x80"}, home.root());
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(Has(none.err, "歌名含有无法保存的字符"));
}

// ---- how a download run ends ----

class CliEndingTest : public CliCommandsTest {
 protected:
  void SetUp() override {
    UseServerAsEngine(srv, 1);
    vtest::Faults slow;
    slow.rateBytesPerSec = 20000;
    AddSong(srv, "p", vtest::Mp3Bytes(400000, 4), slow);
  }
  // The task has chosen its address (and saved it): a later run continues.
  bool Downloading() {
    const std::vector<TaskEntry> recs = ReadRecords(TaskListPath());
    return recs.size() == 1 && Text(recs[0].m_szAddress, 151) == srv.url("/p.mp3");
  }
  // The interrupted run said how far it got and saved the task for later.
  void ExpectSummaryAndSave(const Child& c) {
    const std::string err = vtest::ReadFile(c.err);
    EXPECT_TRUE(Has(err, "0 个完成, 1 个失败")) << err;
    const std::vector<TaskEntry> recs = ReadRecords(TaskListPath());
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(Text(recs[0].m_szAddress, 151), srv.url("/p.mp3"));
  }
};

TEST_F(CliEndingTest, ClosedOutputEndsTheRunWithItsSummaryAndTheSave) {
  // As "| head -1": the reader takes one line and goes away.
  Child c = Spawn({"get", "--no-update-check", "p"}, home.root(), "", true);
  ASSERT_GE(c.outPipe, 0);
  std::string first;
  char ch;
  while (read(c.outPipe, &ch, 1) == 1 && ch != '\n') first += ch;
  EXPECT_FALSE(first.empty());
  ASSERT_TRUE(WaitUntil([&] { return Downloading(); }, 20000));
  close(c.outPipe);
  EXPECT_EQ(Wait(c), 130);
  ExpectSummaryAndSave(c);
}

TEST_F(CliEndingTest, HangUpEndsTheRunWithItsSummaryAndTheSave) {
  Child c = Spawn({"get", "--no-update-check", "p"}, home.root());
  ASSERT_TRUE(WaitUntil([&] { return Downloading(); }, 20000));
  kill(c.pid, SIGHUP);
  EXPECT_EQ(Wait(c), 130);
  ExpectSummaryAndSave(c);
}

}  // namespace
