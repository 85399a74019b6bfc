#pragma once
// Texts of what a song's audio is: bitrate, length, the quality choice and
// the check of a finished MP3 (UTF-8 source).
namespace txt {

inline constexpr const char kNotWholeMp3[] = "下载的文件不是完整的MP3歌曲.";
inline constexpr const char kCandColBitrate[] = "比特率";
inline constexpr const char kCandColLength[] = "时长";
inline constexpr const char kBitrateConstant[] = "%dkbps";
inline constexpr const char kBitrateAverage[] = "VBR %dkbps";
inline constexpr const char kWhyBestQuality[] = "音质最好(%s)";
inline constexpr const char kPreferQuality[] = "优先选择音质较好的链接";

}  // namespace txt
