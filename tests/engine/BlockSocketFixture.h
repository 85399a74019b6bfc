#pragma once
// One block socket over /song.mp3 of the scripted server, as the job makes
// it, with short time-outs and a private temp folder for its block file.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/http/HttpSocket.h"
#include "tests/support/CallbackLog.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempHome.h"

namespace bstest {

class BlockSocketFixture : public ::testing::Test {
 protected:
  BlockSocketFixture(int fileLength, uint32_t seed, int index)
      : m_body(vtest::RandomBytes(static_cast<size_t>(fileLength), seed)),
        m_path(m_home.temp() + "song.mp3-" + std::to_string(index) + ".hpt"),
        m_index(index) {}

  void SetUp() override {
    ConTimeOut = 5;
    GetTimeOut = 5;
  }
  void TearDown() override { GetTimeOut = 15; }

  // The route serves the test's own bytes, whatever body r carries.
  void Serve(vtest::Route r) {
    r.body = m_body;
    m_srv.route("/song.mp3", r);
  }
  std::unique_ptr<CHttpSocket> MakeBlock(int start, int length, int resume, vtest::CallbackLog& log) {
    auto s = std::make_unique<CHttpSocket>(&log);
    s->SetURL(m_srv.url("/song.mp3"));
    s->SetTempFile(m_path);
    s->m_nIndex = m_index;
    s->m_nStart = start;
    s->m_nLength = length;
    s->m_bResume = resume;
    return s;
  }

  vtest::TempHome m_home;
  vtest::ScriptedServer m_srv;
  vtest::CallbackLog m_log;
  const std::string m_body;
  const std::string m_path;
  const int m_index;
};

}  // namespace bstest
