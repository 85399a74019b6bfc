#pragma once
// Texts of the candidate list and the details views (UTF-8 source).
namespace txt {

// What became of each candidate link.
inline constexpr const char kVerdictChosen[] = "已选用";
inline constexpr const char kVerdictUsable[] = "可用";
inline constexpr const char kVerdictOutOfLimits[] = "大小不在限制范围内";
inline constexpr const char kVerdictProbeFailed[] = "探测失败";
inline constexpr const char kVerdictProbeFailedWhy[] = "探测失败: %s";
inline constexpr const char kVerdictUnknownLength[] = "长度未知";
inline constexpr const char kVerdictNotASong[] = "不是歌曲文件";
inline constexpr const char kVerdictHostBusy[] = "服务器繁忙";
inline constexpr const char kVerdictDownloadFailed[] = "下载失败: %s";
// Probing stopped at a faster link before this one was reached.
inline constexpr const char kVerdictNotProbed[] = "未探测";

// Why the chosen link won.
inline constexpr const char kWhyFastEnough[] = "在100ms内响应";
inline constexpr const char kWhyFastest[] = "最快";
inline constexpr const char kWhyNoSpeedCheck[] = "未测速";
inline constexpr const char kWhyStoredAddress[] = "已保存的地址";
inline constexpr const char kWhyGivenLink[] = "指定的链接";

}  // namespace txt

namespace txt {

// The console's search.
inline constexpr const char kCliSearchNoName[] = "没有要搜索的歌名.";
inline constexpr const char kCliSearchHeader[] = "序号  结论                大小(KB)  响应(ms)  分段   比特率        时长  地址";
inline constexpr const char kCliSearchReason[] = "选用原因: %s";
inline constexpr const char kCliSearchNoUsable[] = "没有可用的下载地址.";
inline constexpr const char kRangesYes[] = "支持";
inline constexpr const char kRangesNo[] = "不支持";

}  // namespace txt

namespace txt {

// The details window.
inline constexpr const char kListDetails[] = "下载详情";
inline constexpr const char kDetailsTitle[] = "下载详情 - %s";
inline constexpr const char kDetailsCandidates[] = "候选链接";
inline constexpr const char kDetailsBlocks[] = "下载块";
inline constexpr const char kDetailsReason[] = "选用原因: %s";
inline constexpr const char kDetailsNoCandidates[] = "还没有搜索结果.";
inline constexpr const char kDetailsFinished[] = "下载完成: %s";
inline constexpr const char kDetailsUseLink[] = "使用此链接下载";
inline constexpr const char kDetailsClose[] = "关闭";
inline constexpr const char kCandColRank[] = "序号";
inline constexpr const char kCandColHost[] = "主机";
inline constexpr const char kCandColSize[] = "大小(KB)";
inline constexpr const char kCandColTime[] = "响应(ms)";
inline constexpr const char kCandColRanges[] = "分段";
inline constexpr const char kCandColType[] = "类型";
inline constexpr const char kCandColVerdict[] = "结论";
inline constexpr const char kBlockColNumber[] = "块";
inline constexpr const char kBlockColRange[] = "范围";
inline constexpr const char kBlockColDone[] = "已完成";
inline constexpr const char kBlockColProgress[] = "进度";
inline constexpr const char kBlockColSpeed[] = "速度";
inline constexpr const char kBlockColText[] = "信息";

}  // namespace txt

namespace txt {

// The console's get with a given link.
inline constexpr const char kCliBadLink[] = "无法使用的链接: %s";

}  // namespace txt
