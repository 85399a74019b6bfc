// Block replies, file information and probes against servers that frame
// their bytes oddly or answer with something that is not the file: the
// block file only ever holds the file's own bytes.
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "res/Texts.h"
#include "tests/engine/BlockSocketFixture.h"

namespace {

using vtest::Route;

constexpr char kBusy[] = "<html>busy, try later</html>";

class HttpSocketTrust : public bstest::BlockSocketFixture {
 protected:
  static constexpr int kFile = 100003;
  HttpSocketTrust() : BlockSocketFixture(kFile, 21, 0) {}

  // A block socket as the job makes it, knowing the file's length.
  std::unique_ptr<CHttpSocket> Block(int start, int length, vtest::CallbackLog* log = nullptr) {
    auto s = MakeBlock(start, length, 1, log ? *log : m_log);
    s->m_nFileLength = kFile;
    return s;
  }
  // Runs a block and checks the only two outcomes allowed: the exact bytes
  // with a success, or a failure; never a success with other bytes.
  bool RunBlock(CHttpSocket& s, int start, int length) {
    s.Run();
    const std::string got = vtest::ReadFile(m_path);
    if (!m_log.Successes().empty()) {
      EXPECT_EQ(got, m_body.substr(start, length)) << m_log.Dump();
      return true;
    }
    EXPECT_EQ(m_log.Failures().size(), 1u);
    EXPECT_EQ(got, m_body.substr(start, got.size())) << "a failed block keeps only the file's bytes";
    return false;
  }
};

TEST_F(HttpSocketTrust, ChunkedRepliesAreDecoded) {
  Route r = Route::File("");
  r.faults.chunked = true;
  r.faults.chunkBytes = 777;
  r.faults.chunkTrailer = "X-Check: 1\r\n";
  Serve(r);
  {
    auto s = Block(0, kFile);  // whole file, 200
    EXPECT_TRUE(RunBlock(*s, 0, kFile));
  }
  std::remove(m_path.c_str());
  {
    auto s = Block(5000, 40000);  // a range, 206
    EXPECT_TRUE(RunBlock(*s, 5000, 40000));
  }
  std::remove(m_path.c_str());
  {
    auto s = Block(0, 3000);  // the first block of many takes its part of a 200
    EXPECT_TRUE(RunBlock(*s, 0, 3000));
  }
  auto p = m_log.ProgressCalls();
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back().received, 3000);
}

TEST_F(HttpSocketTrust, MalformedChunkOrUnknownCodingFailsTheAttempt) {
  Route r = Route::File("");
  r.faults.chunked = true;
  r.faults.chunkBytes = 1000;
  r.faults.badChunkAfter = 4000;
  Serve(r);
  auto s = Block(0, 20000);
  EXPECT_FALSE(RunBlock(*s, 0, 20000));
  EXPECT_TRUE(m_log.Has(txt::kSockBadChunk));
  EXPECT_EQ(m_srv.requests().size(), 3u) << "each attempt fails alike";

  for (const char* coding : {"Content-Encoding: gzip\r\n", "Transfer-Encoding: deflate\r\n"}) {
    std::remove(m_path.c_str());
    vtest::CallbackLog log;
    Route z = Route::File("");
    z.extraHeaders = coding;
    Serve(z);
    auto b = Block(0, 20000, &log);
    b->Run();
    EXPECT_EQ(log.Failures().size(), 1u) << coding;
    EXPECT_TRUE(log.Has(txt::kSockUnsupportedCoding)) << coding;
    EXPECT_EQ(vtest::ReadFile(m_path), "") << coding;
  }
}

TEST_F(HttpSocketTrust, HeaderCutByTheTimeOutNeverReachesTheFile) {
  // The server stalls just after its Content-Range line, then sends the rest.
  GetTimeOut = 1;
  Route r = Route::File("");
  r.faults.stallAfterHeaderBytes = 80;
  r.faults.stallMs = 2500;
  r.faults.onlyFirst = 1;
  Serve(r);
  auto s = Block(10, 5000);
  EXPECT_TRUE(RunBlock(*s, 10, 5000));
  EXPECT_TRUE(m_log.Has(txt::kSockHeaderCut));
  EXPECT_GE(m_srv.requests().size(), 2u);
}

TEST_F(HttpSocketTrust, ShortPageForTheFirstBlockIsRefused) {
  Route r = Route::File("");
  r.faults.busyPage = kBusy;
  r.faults.busyPageWithoutRangeOnly = true;
  Serve(r);
  auto s = Block(0, 25000);
  EXPECT_TRUE(RunBlock(*s, 0, 25000));
  EXPECT_EQ(m_srv.requests().size(), 2u);
  EXPECT_EQ(m_srv.requests()[1].range, "") << "the page left nothing to continue from";
}

TEST_F(HttpSocketTrust, PageWithoutATypeIsRefusedByItsFirstBytes) {
  const std::string page = "\xEF\xBB\xBF\r\n<!DOCTYPE html><title>404</title>" + std::string(kFile, ' ');
  Route r = Route::File(page.substr(0, kFile));
  m_srv.route("/song.mp3", r);
  auto s = Block(0, 25000);
  s->Run();
  EXPECT_EQ(m_log.Failures().size(), 1u);
  EXPECT_TRUE(m_log.Has(txt::kSockNotASong));
  EXPECT_EQ(vtest::ReadFile(m_path), "");
  EXPECT_TRUE(m_log.ProgressCalls().empty()) << "nothing of it was written";
}

TEST_F(HttpSocketTrust, LengthsMustAgreeWithTheFile) {
  // A 200 of another length is not the whole file; a 206 whose Content-
  // Length is not its range's is not the range.
  Route r = Route::File("");
  r.faults.contentLengthOverride = "50";
  Serve(r);
  auto s = Block(0, 25000);
  EXPECT_FALSE(RunBlock(*s, 0, 25000));
  EXPECT_EQ(vtest::ReadFile(m_path), "");
  EXPECT_EQ(m_srv.requests().size(), 3u);
  vtest::CallbackLog log;
  auto m = Block(100, 25000, &log);
  m->Run();
  EXPECT_EQ(log.Failures().size(), 1u);
  EXPECT_EQ(vtest::ReadFile(m_path), "");
}

TEST_F(HttpSocketTrust, AnotherTotalMeansTheFileChangedAndEndsAtOnce) {
  Route r = Route::File("");
  r.faults.contentRangeTotal = kFile + 7;
  Serve(r);
  auto s = Block(100, 25000);
  s->Run();
  EXPECT_EQ(m_log.Failures().size(), 1u);
  EXPECT_EQ(m_srv.requests().size(), 1u) << "no attempt can mend it";
  EXPECT_EQ(vtest::ReadFile(m_path), "");
  // A total of "*" says nothing and passes.
  std::remove(m_path.c_str());
  r.faults.contentRangeTotal = -1;
  r.extraHeaders = "";
  Serve(r);
  auto ok = Block(100, 25000);
  EXPECT_TRUE(RunBlock(*ok, 100, 25000));
}

TEST_F(HttpSocketTrust, UnknownLengthRunsToTheEndOfTheBody) {
  // Chunked, or no length at all and the end at the close.
  for (bool chunked : {true, false}) {
    std::remove(m_path.c_str());
    vtest::CallbackLog log;
    Route r = Route::File("");
    r.faults.chunked = chunked;
    r.faults.noContentLength = !chunked;
    r.faults.ignoreRange = true;
    Serve(r);
    auto s = Block(0, -1, &log);
    s->m_nFileLength = 0;
    s->m_bResume = 0;
    s->Run();
    EXPECT_EQ(log.Successes().size(), 1u) << chunked << log.Dump();
    ASSERT_FALSE(log.ProgressCalls().empty()) << chunked;
    EXPECT_EQ(log.ProgressCalls().back().received, kFile) << chunked;
    EXPECT_EQ(vtest::ReadFile(m_path), m_body) << chunked;
  }
  // A close in the middle of a chunked body is no end.
  std::remove(m_path.c_str());
  vtest::CallbackLog log;
  Route cut = Route::File("");
  cut.faults.chunked = true;
  cut.faults.closeAfterBodyBytes = 30000;
  Serve(cut);
  auto s = Block(0, -1, &log);
  s->m_nFileLength = 0;
  s->Run();
  EXPECT_EQ(log.Failures().size(), 1u);
  EXPECT_TRUE(log.Successes().empty());
}

TEST_F(HttpSocketTrust, ProgressNeverRunsAheadOfTheFile) {
  Route r = Route::File("");
  r.faults.dripBytes = 3000;
  r.faults.dripIntervalMs = 5;
  Serve(r);
  auto s = Block(0, kFile);
  struct Check : ISocketListener {
    explicit Check(std::string p) : path(std::move(p)) {}
    void OnProgress(int received, int, int) override {
      ++calls;
      if (static_cast<long long>(vtest::ReadFile(path).size()) < received) ++ahead;
    }
    void OnSuccess(int) override { ++done; }
    std::string path;
    int calls = 0, ahead = 0, done = 0;
  } check{m_path};
  s->m_pUserData = &check;
  s->Run();
  EXPECT_EQ(check.done, 1);
  EXPECT_GT(check.calls, 1) << "a pause in the stream writes what has come";
  EXPECT_EQ(check.ahead, 0);
}

// ---------------------------------------------------------------- info

class FileInfoTrust : public HttpSocketTrust {
 protected:
  bool Info(std::string& url) { return CHttpSocket::GetFileInfo(&m_sock, url, m_length, m_ranged); }
  void TearDown() override {
    m_sock.Close();
    HttpSocketTrust::TearDown();
  }
  CHttpSocket m_sock{&m_log};
  int m_length = -2;
  bool m_ranged = false;
};

TEST_F(FileInfoTrust, OneShortPageIsSettledByAskingAgain) {
  Route r = Route::File("");
  r.faults.busyPage = kBusy;
  Serve(r);
  std::string url = m_srv.url("/song.mp3");
  ASSERT_TRUE(Info(url)) << m_log.Dump();
  EXPECT_EQ(m_length, kFile);
  EXPECT_TRUE(m_ranged);
  EXPECT_EQ(m_log.Lengths(), std::vector<int>{kFile}) << "only the agreed length is told";
  EXPECT_EQ(m_srv.requests().size(), 4u);
}

TEST_F(FileInfoTrust, LengthsThatKeepDifferingFail) {
  Route r = Route::File("");
  r.faults.contentRangeTotal = kFile + 1;
  Serve(r);
  std::string url = m_srv.url("/song.mp3");
  EXPECT_FALSE(Info(url));
  EXPECT_TRUE(m_log.Has(txt::kSockLengthDisagree));
  EXPECT_TRUE(m_log.Lengths().empty());
}

TEST_F(FileInfoTrust, CutHeaderIsNoAnswer) {
  m_srv.route("/song.mp3", Route::Raw("HTTP/1.1 200 OK\r\nContent-Length: 100003\r\n"));
  std::string url = m_srv.url("/song.mp3");
  EXPECT_FALSE(Info(url));
  EXPECT_TRUE(m_log.Has(txt::kSockHeaderCut));
  EXPECT_TRUE(m_log.Lengths().empty());
}

TEST_F(FileInfoTrust, ChunkedAnswerTakesTheRangeTotal) {
  Route r = Route::File("");
  r.faults.chunked = true;
  Serve(r);
  std::string url = m_srv.url("/song.mp3");
  ASSERT_TRUE(Info(url));
  EXPECT_EQ(m_length, kFile);
}

// ---------------------------------------------------------------- probe

TEST_F(HttpSocketTrust, ProbeTellsAPageFromAFailure) {
  CHttpSocket probe(&m_log);
  int parseMs = -1, headerMs = -1, reconnectMs = -1, length = -1;
  std::string type;
  ProbeVerdict verdict = ProbeVerdict::kAnswered;

  Route typed = Route::File(std::string(1300000, 'x'));
  typed.contentType = "text/html; charset=utf-8";
  m_srv.route("/typed.mp3", typed);
  Route untyped = Route::File("\n\n<html><body>gone</body></html>" + std::string(5000, ' '));
  untyped.faults.chunked = true;
  untyped.faults.chunkBytes = 3;  // the marker spans chunks
  m_srv.route("/untyped.mp3", untyped);
  for (const char* path : {"/typed.mp3", "/untyped.mp3"}) {
    EXPECT_FALSE(probe.ProbeSpeed(m_srv.url(path), parseMs, headerMs, reconnectMs, length, type, verdict)) << path;
    EXPECT_EQ(verdict, ProbeVerdict::kNotASong) << path;
    EXPECT_EQ(reconnectMs, -1) << path << ": never timed as usable";
  }

  EXPECT_FALSE(probe.ProbeSpeed("http://127.0.0.1:1/a.mp3", parseMs, headerMs, reconnectMs, length, type, verdict));
  EXPECT_EQ(verdict, ProbeVerdict::kFailed);

  Route song = Route::File(std::string("ID3\x03", 4) + m_body);
  song.contentType = "audio/mpeg";
  m_srv.route("/song.mp3", song);
  ASSERT_TRUE(probe.ProbeSpeed(m_srv.url("/song.mp3"), parseMs, headerMs, reconnectMs, length, type, verdict));
  EXPECT_EQ(verdict, ProbeVerdict::kAnswered);
  EXPECT_EQ(length, kFile + 4);
  EXPECT_GE(reconnectMs, 0);

  // A download script's default label: the tag decides.
  Route labelled = Route::File(std::string("ID3\x03\x00\x00\x00\x00\x00\x00", 10) + m_body);
  labelled.contentType = "text/html";
  m_srv.route("/script.mp3", labelled);
  ASSERT_TRUE(probe.ProbeSpeed(m_srv.url("/script.mp3"), parseMs, headerMs, reconnectMs, length, type, verdict));
  EXPECT_EQ(verdict, ProbeVerdict::kAnswered);
  EXPECT_EQ(type, "text/html");
}

}  // namespace
