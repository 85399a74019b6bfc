#include "tests/support/SongMaker.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdint>
#include <cstdio>

#include "tests/support/TempHome.h"

extern char** environ;

using namespace std::string_literals;

namespace vtest {

bool RunTool(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool SongMaker::ToolsPresent() {
  return RunTool({"sox", "--version"}) && RunTool({"lame", "--version"});
}

SongMaker::SongMaker(std::string dir) : m_dir(std::move(dir)) {}

std::string SongMaker::Make(const std::string& name, const std::vector<std::string>& lameOptions, double seconds,
                            int rate, int channels) {
  const std::string wav = m_dir + "/" + name + ".wav", mp3 = m_dir + "/" + name + ".mp3";
  // Two tones that come and go: a silent or steady input would let a
  // variable-rate encoder fall to its floor.
  if (!RunTool({"sox", "-n", "-r", std::to_string(rate), "-c", std::to_string(channels), "-b", "16", wav, "synth",
                std::to_string(seconds), "sine", "300-2400", "sine", "440", "tremolo", "3", "60"}))
    return {};
  std::vector<std::string> args = {"lame", "--quiet"};
  args.insert(args.end(), lameOptions.begin(), lameOptions.end());
  args.push_back(wav);
  args.push_back(mp3);
  const bool ok = RunTool(args);
  std::remove(wav.c_str());
  return ok ? mp3 : std::string();
}

std::string Mp3Bytes(size_t n, uint32_t seed) {
  // MPEG-1 layer III at 44.1 kHz: the frame length of each bitrate index,
  // with and without the padding byte.
  static const int kKbps[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  struct Kind {
    size_t length;
    int index, pad;
  };
  std::vector<Kind> kinds;
  for (int i = 0; i < 14; ++i)
    for (int pad = 0; pad < 2; ++pad) kinds.push_back({144u * kKbps[i] * 1000u / 44100u + pad, i + 1, pad});
  std::string out = RandomBytes(n, seed);
  auto put = [&](size_t at, const Kind& k) {
    const char header[4] = {'\xFF', '\xFB', static_cast<char>(k.index << 4 | k.pad << 1), '\x44'};
    out.replace(at, 4, header, 4);
  };
  // 128 kbps frames, then a few of other rates that end exactly at n.
  size_t at = 0;
  while (n - at > 3000) {
    put(at, kinds[16]);
    at += kinds[16].length;
  }
  const size_t rest = n - at;
  std::vector<int> prev(rest + 1, -1);  // kind that reaches this many bytes
  std::vector<bool> reach(rest + 1, false);
  reach[0] = true;
  for (size_t s = 1; s <= rest; ++s)
    for (size_t k = 0; k < kinds.size() && !reach[s]; ++k)
      if (kinds[k].length <= s && reach[s - kinds[k].length]) {
        reach[s] = true;
        prev[s] = static_cast<int>(k);
      }
  if (!reach[rest]) {  // too short to fill: frames as far as they go
    for (; n - at >= kinds[0].length; at += kinds[0].length) put(at, kinds[0]);
    return out;
  }
  std::vector<int> tail;
  for (size_t s = rest; s > 0; s -= kinds[static_cast<size_t>(prev[s])].length) tail.push_back(prev[s]);
  for (int k : tail) {
    put(at, kinds[static_cast<size_t>(k)]);
    at += kinds[static_cast<size_t>(k)].length;
  }
  return out;
}

std::string Id3v2PictureTag(size_t size) {
  const size_t body = size > 40 ? size - 10 : 30;
  const size_t frame = body - 10;
  std::string pic = "\0image/jpeg\0\x03\0"s;
  pic += RandomBytes(frame - pic.size(), 7);
  std::string tag = "ID3\x03\0\0"s;
  for (int shift = 21; shift >= 0; shift -= 7) tag += static_cast<char>((body >> shift) & 0x7F);
  tag += "APIC";
  for (int shift = 24; shift >= 0; shift -= 8) tag += static_cast<char>((frame >> shift) & 0xFF);
  tag += "\0\0"s;
  return tag + pic;
}

std::string ApeTag(const std::string& key, const std::string& value) {
  auto le32 = [](uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  const std::string item = le32(static_cast<uint32_t>(value.size())) + le32(0) + key + '\0' + value;
  const uint32_t size = static_cast<uint32_t>(item.size() + 32);
  auto mark = [&](uint32_t flags) { return "APETAGEX" + le32(2000) + le32(size) + le32(1) + le32(flags) + std::string(8, '\0'); };
  return mark(0xA0000000u) + item + mark(0x80000000u);
}

}  // namespace vtest
