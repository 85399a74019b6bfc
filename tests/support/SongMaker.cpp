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
  constexpr size_t kFrame = 417;  // 144 * 128000 / 44100, no padding
  std::string out = RandomBytes(n, seed);
  for (size_t at = 0; at + 4 <= n; at += kFrame) out.replace(at, 4, "\xFF\xFB\x90\x44");
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
