// The finished-file check over real files made by lame: every song it can
// make is kept, whatever its rate, mode and tags; cut, foreign and broken
// files are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/mp3/Mp3FileCheck.h"
#include "engine/mp3/Mp3Tags.h"
#include "res/Texts.h"
#include "tests/support/SongMaker.h"
#include "tests/support/TempHome.h"

namespace {

class Mp3WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!vtest::SongMaker::ToolsPresent()) GTEST_SKIP() << "sox and lame are needed (tools/deps)";
  }
  std::string Put(const std::string& name, const std::string& bytes) {
    const std::string path = m_home.root() + "/" + name;
    EXPECT_TRUE(vtest::WriteFile(path, bytes));
    return path;
  }
  vtest::TempHome m_home;
  vtest::SongMaker m_songs{m_home.root()};
};

TEST_F(Mp3WalkTest, EverySongLameMakesIsKept) {
  struct Case {
    std::string name;
    std::vector<std::string> options;
    int rate;
    int channels;
  };
  const std::vector<Case> cases = {
      {"cbr32", {"-b", "32"}, 44100, 2},
      {"cbr64", {"-b", "64", "-m", "m"}, 44100, 1},
      {"cbr128", {"-b", "128", "-m", "j"}, 44100, 2},
      {"cbr192", {"-b", "192", "-m", "s"}, 48000, 2},
      {"cbr320", {"-b", "320"}, 44100, 2},
      {"v0", {"-V", "0"}, 44100, 2},
      {"v4", {"-V", "4", "-m", "m"}, 32000, 1},
      {"v9", {"-V", "9"}, 44100, 2},
      {"mpeg2", {"-b", "64", "--resample", "24"}, 24000, 2},
      {"mpeg2-mono", {"-V", "5", "-m", "m", "--resample", "16"}, 16000, 1},
      {"mpeg25", {"-b", "32", "--resample", "11.025"}, 11025, 2},
      {"mpeg25-8k", {"-b", "8", "-m", "m", "--resample", "8"}, 8000, 1},
      {"id3v2", {"-b", "128", "--id3v2-only", "--tt", "title", "--ta", "artist"}, 44100, 2},
      {"id3v1", {"-b", "128", "--id3v1-only", "--tt", "title"}, 44100, 2},
      {"both", {"-V", "3", "--add-id3v2", "--tt", "title", "--tc", "a comment"}, 44100, 2},
      {"nobitres", {"-b", "160", "--nores", "-p"}, 44100, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = m_songs.Make(c.name, c.options, 3, c.rate, c.channels);
    ASSERT_FALSE(path.empty());
    const Mp3FileReport plain = CheckMp3File(path);
    ASSERT_TRUE(plain.m_bRead);
    EXPECT_EQ(plain.m_eVerdict, Mp3Verdict::kWhole);
    EXPECT_GT(plain.m_fCover, 0.97);
    EXPECT_EQ(RefuseBrokenMp3(path), nullptr);
    // An APEv2 tag at the end, before or without an ID3v1 one.
    std::string bytes = vtest::ReadFile(path);
    const std::string ape = vtest::ApeTag("Title", std::string(2000, 'x'));
    const bool v1 = bytes.size() > 128 && bytes.compare(bytes.size() - 128, 3, "TAG") == 0;
    bytes.insert(v1 ? bytes.size() - 128 : bytes.size(), ape);
    EXPECT_EQ(CheckMp3File(Put(c.name + "-ape.mp3", bytes)).m_eVerdict, Mp3Verdict::kWhole);
  }
}

TEST_F(Mp3WalkTest, CutAndForeignFilesAreRefused) {
  const std::string vbr = vtest::ReadFile(m_songs.Make("vbr", {"-V", "2", "--add-id3v2", "--tt", "t"}, 6));
  ASSERT_FALSE(vbr.empty());
  // An upload that stopped part way: its header still counts every frame.
  const Mp3FileReport cut = CheckMp3File(Put("cut.mp3", vbr.substr(0, vbr.size() * 45 / 100)));
  EXPECT_EQ(cut.m_eVerdict, Mp3Verdict::kCutShort);
  EXPECT_GT(cut.m_nDeclared, cut.m_nFrames);
  EXPECT_EQ(RefuseBrokenMp3(Put("cut2.mp3", vbr.substr(0, vbr.size() * 45 / 100))), txt::kNotWholeMp3);
  // Losing the last frame or so is within what encoders leave out.
  EXPECT_EQ(CheckMp3File(Put("nearly.mp3", vbr.substr(0, vbr.size() - 300))).m_eVerdict, Mp3Verdict::kWhole);

  EXPECT_EQ(CheckMp3File(Put("text.mp3", std::string(200000, 'a') + "\n")).m_eVerdict, Mp3Verdict::kNoFrames);
  EXPECT_NE(CheckMp3File(Put("noise.mp3", vtest::RandomBytes(1 << 20, 5))).m_eVerdict, Mp3Verdict::kWhole);
  EXPECT_EQ(CheckMp3File(Put("empty.mp3", "")).m_eVerdict, Mp3Verdict::kNoFrames);
  EXPECT_FALSE(CheckMp3File(m_home.root() + "/missing.mp3").m_bRead);
  EXPECT_EQ(RefuseBrokenMp3(m_home.root() + "/missing.mp3"), nullptr);
}

TEST_F(Mp3WalkTest, JunkIsSkippedUpToAShare) {
  const std::string cbr = vtest::ReadFile(m_songs.Make("cbr", {"-b", "128"}, 6));
  ASSERT_FALSE(cbr.empty());
  const size_t mid = cbr.size() / 2 + 17;  // inside a frame
  // A few kilobytes of damage: players resync past it, so do we.
  std::string damaged = cbr.substr(0, mid) + vtest::RandomBytes(3000, 9) + cbr.substr(mid);
  EXPECT_EQ(CheckMp3File(Put("damaged.mp3", damaged)).m_eVerdict, Mp3Verdict::kWhole);
  // Half of it noise: not a song.
  std::string half = cbr.substr(0, mid) + vtest::RandomBytes(cbr.size(), 9);
  EXPECT_EQ(CheckMp3File(Put("half.mp3", half)).m_eVerdict, Mp3Verdict::kSparse);
  // A second ID3v2 tag between frames is a tag, not junk.
  const std::string tag = vtest::Id3v2PictureTag(cbr.size());
  const Mp3FileReport tagged = CheckMp3File(Put("tagged.mp3", tag + cbr + tag));
  EXPECT_EQ(tagged.m_eVerdict, Mp3Verdict::kWhole);
}

TEST_F(Mp3WalkTest, RateChangesWithinAStreamAreKept) {
  // The tests' stand-in songs: 128 kbps frames ending in frames of other rates.
  for (size_t n : {2000u, 5003u, 30001u, 300001u}) {
    const std::string bytes = vtest::Mp3Bytes(n, 4);
    ASSERT_EQ(bytes.size(), n);
    const Mp3FileReport r = CheckMp3File(Put("fake" + std::to_string(n) + ".mp3", bytes));
    EXPECT_EQ(r.m_eVerdict, Mp3Verdict::kWhole) << n;
    EXPECT_GT(r.m_fCover, 0.95) << n;
  }
}

TEST_F(Mp3WalkTest, FreeFormatIsNeverRefused) {
  const std::string path = m_songs.Make("free", {"--freeformat", "-b", "400"}, 3);
  if (path.empty()) GTEST_SKIP() << "this lame makes no free-format files";
  EXPECT_EQ(CheckMp3File(path).m_eVerdict, Mp3Verdict::kWhole);
  const std::string bytes = vtest::ReadFile(path);
  EXPECT_EQ(CheckMp3File(Put("free-cut.mp3", bytes.substr(0, bytes.size() / 3))).m_eVerdict, Mp3Verdict::kWhole);
}

TEST(Mp3TagsTest, EndTagsPeelInAnyOrder) {
  const std::string audio(5000, '\x55');
  const std::string v1 = "TAG" + std::string(125, ' ');
  const std::string ape = vtest::ApeTag("Artist", "someone");
  const std::string lyrics = "LYRICSBEGIN" "words" "000016LYRICS200";
  const std::string lyrics1 = "LYRICSBEGINsome wordsLYRICSEND";
  const struct { std::string tail; long long expect; } cases[] = {
      {"", 0},
      {v1, 128},
      {ape, static_cast<long long>(ape.size())},
      {ape + v1, static_cast<long long>(ape.size() + 128)},
      {lyrics + v1, static_cast<long long>(lyrics.size() + 128)},
      {ape + lyrics + v1, static_cast<long long>(ape.size() + lyrics.size() + 128)},
      {lyrics1 + v1, static_cast<long long>(lyrics1.size() + 128)},
      {"APETAGEX" + std::string(24, '\xff'), 0},  // a size beyond the file
  };
  for (const auto& c : cases) {
    const std::string file = audio + c.tail;
    EXPECT_EQ(EndTagsSize(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                          static_cast<long long>(file.size())),
              c.expect)
        << c.tail.size();
  }
  const std::string tag = vtest::Id3v2PictureTag(4096);
  EXPECT_EQ(Id3v2TagSize(reinterpret_cast<const uint8_t*>(tag.data()), tag.size()), 4096);
  const std::string bad("ID3\x03\0\0\x80\0\0\0", 10);
  EXPECT_EQ(Id3v2TagSize(reinterpret_cast<const uint8_t*>(bad.data()), 10), 0);
}

}  // namespace
