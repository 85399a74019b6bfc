#pragma once
// Texts of the task layer (UTF-8 source).
namespace txt {

// Folder beside the program that receives finished songs. On disk the name
// is UTF-8, so this one is used as it stands, without T().
inline constexpr const char kDownloadedFolder[] = "已下载";

// Search
inline constexpr const char kSearchFailed[] = "搜索歌曲失败.";
inline constexpr const char kBadSongName[] = "解析歌名出错.";
inline constexpr const char kVisitingEngine[] = "正在访问搜索引擎...";
inline constexpr const char kNetworkUnreachable[] = "无法访问网络资源,请确认Internet连接正常.";
inline constexpr const char kReadingAddresses[] = "正在读取下载地址...";
inline constexpr const char kFoundAddresses[] = "共找到%d个下载地址.";
inline constexpr const char kNoSongFound[] = "无该歌曲的MP3供下载.";
// After "搜索歌曲失败. ": why a music server's reply was not read.
inline constexpr const char kReplyTooLarge[] = "(服务器的回答超过 1 MiB)";
inline constexpr const char kReplyTooManyValues[] = "(服务器的回答超过 100000 个值)";
inline constexpr const char kTokenFallback[] = "服务器不支持令牌登录,已改用密码登录.";
inline constexpr const char kUnselectedServerLink[] = "该链接属于未选用的音乐服务器.";
// The built-in host's port answers, but not with a program of this user's.
inline constexpr const char kBuiltinPortNotOurs[] = "内置服务器的端口被其他用户的程序占用.";

// Probing
inline constexpr const char kTestingLink[] = "正在测试第%d个连接的速度...";
inline constexpr const char kProbeFailed[] = "探测下载速度失败.";

// Busy hosts: waiting for a free connection, and for the time a host that
// answered 503/429 asked for.
inline constexpr const char kWaitingForHost[] = "等待服务器连接...";
inline constexpr const char kHostBusyRetry[] = "服务器繁忙,%d秒后重试...";

// Downloading
inline constexpr const char kThreadMessage[] = "线程%d: %s";
inline constexpr const char kRetryFailure[] = "%d次下载失败";
inline constexpr const char kDownloadFailed[] = "下载失败.";

// In an entry's retries field: the task gave up. While it retries the
// field holds the failure count instead.
inline constexpr const char kFailedMark[] = "失败";

}  // namespace txt
