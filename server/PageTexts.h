#pragma once
// Texts of the pages the bundled server writes (UTF-8 here, GBK on the
// wire). They belong to the stand-in web sites, not to the program.
namespace pagetxt {
inline constexpr const char kSiteName[] = "乐听音乐搜索";
inline constexpr const char kHome[] = "首页";
inline constexpr const char kHelp[] = "帮助";
inline constexpr const char kSearchButton[] = "搜索";
inline constexpr const char kSearchFor[] = "搜索结果";
inline constexpr const char kFoundFormat[] = "共找到 %d 首与“%s”相关的歌曲";
inline constexpr const char kNothingFound[] = "没有找到与“%s”相关的歌曲，请换个歌名再试。";
inline constexpr const char kEmptyKey[] = "请输入要搜索的歌名。";
inline constexpr const char kColumnName[] = "歌名";
inline constexpr const char kColumnSize[] = "大小";
inline constexpr const char kColumnLinks[] = "下载地址";
inline constexpr const char kColumnMore[] = "更多";
inline constexpr const char kMirror[] = "镜像";
inline constexpr const char kThisSite[] = "本站下载";
inline constexpr const char kRelative[] = "备用地址";
inline constexpr const char kAbout[] = "歌曲介绍";
inline constexpr const char kListen[] = "试听";
inline constexpr const char kPlay[] = "在线播放";
inline constexpr const char kFooter[] = "本站所有歌曲仅供试听交流。";
inline constexpr const char kSongTitle[] = "歌曲介绍";
inline constexpr const char kSongBody[] = "想下载这首歌？在 VireloMP3下载器 里点击歌名即可。";
inline constexpr const char kSearchThis[] = "在本站搜索这首歌";
inline constexpr const char kCountPage[] = "感谢使用！";
inline constexpr const char kNotFound[] = "找不到该页面。";
inline constexpr const char kForbidden[] = "禁止访问。";
inline constexpr const char kHomeIntro[] = "欢迎来到乐听音乐。这里是 VireloMP3下载器 自带的音乐搜索服务，只在本机提供。";
inline constexpr const char kAllSongs[] = "本站歌曲";
}  // namespace pagetxt
