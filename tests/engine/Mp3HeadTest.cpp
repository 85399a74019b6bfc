// What the first 64 KiB of real files made by lame tell: bitrate, variable
// or constant rate, length, MPEG version; and where a large tag sends the
// second read.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/mp3/Mp3Head.h"
#include "tests/support/SongMaker.h"
#include "tests/support/TempHome.h"

namespace {

constexpr size_t kProbeBytes = 64 * 1024;

Mp3Head HeadOf(const std::string& file, long long offset = 0) {
  const std::string part = file.substr(static_cast<size_t>(offset), kProbeBytes);
  return Mp3Head::Read(reinterpret_cast<const uint8_t*>(part.data()), part.size(), offset,
                       static_cast<long long>(file.size()), offset + static_cast<long long>(part.size()) >= static_cast<long long>(file.size()));
}

class Mp3HeadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!vtest::SongMaker::ToolsPresent()) GTEST_SKIP() << "sox and lame are needed (tools/deps)";
  }
  vtest::TempHome m_home;
  vtest::SongMaker m_songs{m_home.root()};
};

TEST_F(Mp3HeadTest, ConstantRatesAndLengths) {
  struct Case { int kbps; int rate; double seconds; Mp3Frame::Version version; };
  const Case cases[] = {
      {128, 44100, 6, Mp3Frame::kMpeg1}, {320, 48000, 4, Mp3Frame::kMpeg1},
      {32, 22050, 5, Mp3Frame::kMpeg2},  {16, 16000, 5, Mp3Frame::kMpeg2},
      {8, 8000, 5, Mp3Frame::kMpeg25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kbps);
    const std::string path = m_songs.Make("cbr" + std::to_string(c.kbps),
                                          {"-b", std::to_string(c.kbps), "--resample", std::to_string(c.rate / 1000.0)},
                                          c.seconds, c.rate);
    ASSERT_FALSE(path.empty());
    const Mp3Head h = HeadOf(vtest::ReadFile(path));
    ASSERT_EQ(h.m_eState, Mp3Head::State::kKnown);
    EXPECT_EQ(h.m_nKbps, c.kbps);
    EXPECT_FALSE(h.m_bVbr);
    EXPECT_EQ(h.m_frame.m_eVersion, c.version);
    EXPECT_EQ(h.m_frame.m_nSampleRate, c.rate);
    EXPECT_NEAR(h.m_nSeconds, c.seconds, 1);
  }
}

TEST_F(Mp3HeadTest, VariableRateTakesTheFrameCountAndAverage) {
  const std::string path = m_songs.Make("vbr", {"-V", "2"}, 7);
  ASSERT_FALSE(path.empty());
  const std::string file = vtest::ReadFile(path);
  const Mp3Head h = HeadOf(file);
  ASSERT_EQ(h.m_eState, Mp3Head::State::kKnown);
  EXPECT_TRUE(h.m_bVbr);
  EXPECT_NEAR(h.m_nSeconds, 7, 1);
  // The average over the stream, not the first frame's rate.
  const double average = static_cast<double>(file.size()) * 8 / 7 / 1000;
  EXPECT_NEAR(h.m_nKbps, average, average * 0.1);
  // Without a length the frame count still gives the time.
  const Mp3Head unknown = Mp3Head::Read(reinterpret_cast<const uint8_t*>(file.data()), 4096, 0, -1, false);
  ASSERT_EQ(unknown.m_eState, Mp3Head::State::kKnown);
  EXPECT_NEAR(unknown.m_nSeconds, 7, 1);
}

TEST_F(Mp3HeadTest, LargePictureTagSendsTheReadPastIt) {
  const std::string path = m_songs.Make("pic", {"-b", "192"}, 4);
  ASSERT_FALSE(path.empty());
  const std::string tag = vtest::Id3v2PictureTag(300 * 1024);
  const std::string file = tag + vtest::ReadFile(path);
  const Mp3Head first = HeadOf(file);
  ASSERT_EQ(first.m_eState, Mp3Head::State::kNeedRange);
  EXPECT_EQ(first.m_nAudioStart, static_cast<long long>(tag.size()));
  const Mp3Head second = HeadOf(file, first.m_nAudioStart);
  ASSERT_EQ(second.m_eState, Mp3Head::State::kKnown);
  EXPECT_EQ(second.m_nKbps, 192);
  EXPECT_NEAR(second.m_nSeconds, 4, 1);
  // A small tag is read past within the first bytes.
  const std::string small = vtest::Id3v2PictureTag(20 * 1024) + vtest::ReadFile(path);
  const Mp3Head one = HeadOf(small);
  ASSERT_EQ(one.m_eState, Mp3Head::State::kKnown);
  EXPECT_EQ(one.m_nAudioStart, 20 * 1024);
}

TEST_F(Mp3HeadTest, ShortOrForeignBytes) {
  const std::string path = m_songs.Make("short", {"-b", "128"}, 2);
  const std::string file = vtest::ReadFile(path);
  const auto* p = reinterpret_cast<const uint8_t*>(file.data());
  // Half a header, then a frame without the next one to confirm it: wait.
  EXPECT_EQ(Mp3Head::Read(p, 2, 0, -1, false).m_eState, Mp3Head::State::kNeedMore);
  EXPECT_EQ(Mp3Head::Read(p, 300, 0, -1, false).m_eState, Mp3Head::State::kNeedMore);
  const std::string text = "<p>no song here</p>" + std::string(3000, ' ');
  EXPECT_EQ(Mp3Head::Read(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0, -1, true).m_eState,
            Mp3Head::State::kNotMp3);
  const std::string noise = vtest::RandomBytes(60000, 3);
  EXPECT_NE(Mp3Head::Read(reinterpret_cast<const uint8_t*>(noise.data()), noise.size(), 0, -1, true).m_eState,
            Mp3Head::State::kKnown);
}

}  // namespace
