#pragma once
// Texts of the app layer (UTF-8 source).
namespace txt {
inline constexpr const char kAppName[] = "VireloMP3下载器";
inline constexpr const char kSongNameEmpty[] = "歌名不能为空.";
inline constexpr const char kTooManyTasks[] = "最多只允许100个下载任务.";
inline constexpr const char kTooManyActive[] = "最多只允许10个活动任务.";
inline constexpr const char kUpdaterFailed[] = "启动升级程序出错.";
inline constexpr const char kMinAboveMax[] = "最小文件大小不能大于最大文件大小.";
inline constexpr const char kBlocksOutOfRange[] = "线程数必须在1到5之间.";
inline constexpr const char kHostConnectionsOutOfRange[] = "每个服务器的最大连接数必须在1到16之间.";
inline constexpr const char kProxyUnusable[] = "代理服务器应为 http://[用户名:密码@]主机:端口, 或留空(按环境变量), 或 none(不用代理).";
inline constexpr const char kStateQueued[] = "act";
inline constexpr const char kStateRunning[] = "run";
inline constexpr const char kStateStopped[] = "stop";

// virelomp3-cli
inline constexpr const char kCliNoHome[] = "程序目录不存在: %s";
inline constexpr const char kCliNoDownloadFolder[] = "无法写入下载目录: %s";
inline constexpr const char kCliRunning[] = "另一个程序正在使用该目录: %s";
inline constexpr const char kCliNoNames[] = "没有要下载的歌名.";
inline constexpr const char kCliDone[] = "完成";
inline constexpr const char kCliSaved[] = "已保存: %s";
inline constexpr const char kCliSummary[] = "%d 个完成, %d 个失败";
inline constexpr const char kCliListEmpty[] = "没有下载任务.";
inline constexpr const char kCliInterrupted[] = "已中断, 正在保存任务列表...";
inline constexpr const char kCliBadName[] = "歌名含有无法保存的字符: %s";
inline constexpr const char kCliRemoved[] = "已删除: %s";
inline constexpr const char kCliNotInList[] = "没有这个下载任务: %s";
// Said on the console. %d: the built-in port, then the one used instead.
inline constexpr const char kServerPortTaken[] = "内置服务器的端口%d被其他用户的程序占用, 已在端口%d启动本程序自己的服务器.";
}  // namespace txt
