#pragma once
// Real MP3 files for tests, made at test time by sox (a tone) and lame.
//
//   vtest::SongMaker songs(dir);
//   std::string path = songs.Make("cbr128", {"-b", "128"}, 3.0);
//
// Each file is made once per SongMaker; tags other than lame's own
// (APEv2, a large ID3v2 picture tag) are built here, byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vtest {

class SongMaker {
 public:
  explicit SongMaker(std::string dir);
  // lame's options for the encode; rate and channels of the tone fed to it.
  // Returns the path, or empty when sox or lame failed.
  std::string Make(const std::string& name, const std::vector<std::string>& lameOptions, double seconds,
                   int rate = 44100, int channels = 2);
  // True when sox and lame can be run.
  static bool ToolsPresent();

 private:
  std::string m_dir;
};

// n bytes that pass for an MP3 song without an encoder: frames of 128 kbps
// at 44.1 kHz with pseudo-random contents (the same (n, seed), the same
// bytes), then frames of other rates that end at n where some do, else a
// few bytes short of it.
std::string Mp3Bytes(size_t n, uint32_t seed = 1);
// Runs args[0] with args (no shell); true when it exits 0.
bool RunTool(const std::vector<std::string>& args);
// An ID3v2.3 tag of about `size` bytes holding one picture frame.
std::string Id3v2PictureTag(size_t size);
// An APEv2 tag (header and footer) with one text item.
std::string ApeTag(const std::string& key, const std::string& value);

}  // namespace vtest
