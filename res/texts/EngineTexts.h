#pragma once
// Texts of the engine layer (UTF-8 source).
namespace txt {
inline constexpr const char kRecordFileCreateFailed[] = "记录文件%s 创建失败\n请检查磁盘空间是否已满。";
// Download job
inline constexpr const char kJobStartError[] = "创建下载线程时出错: ";
inline constexpr const char kJobUnknownError[] = "未知错误";
inline constexpr const char kJobFileInfoError[] = "获取下载文件的相关信息时出错.";
inline constexpr const char kJobZeroLength[] = "要下载的文件长度为零.";
inline constexpr const char kJobTooLong[] = "要下载的文件太大.";
inline constexpr const char kJobAllBlocksDone[] = "所有块下载完成";
inline constexpr const char kJobMerging[] = "正在合并文件";
inline constexpr const char kJobTargetInUse[] = "目标文件正在被使用";
inline constexpr const char kJobSucceeded[] = "下载成功";
inline constexpr const char kJobMergeReadFailed[] = "合并文件时出错: 无法读取临时文件";
inline constexpr const char kJobMergeBlockSize[] = "合并文件时出错: 临时文件长度不对";
inline constexpr const char kJobMergeWriteFailed[] = "合并文件时出错: 写入目标文件失败";
inline constexpr const char kJobMergeSize[] = "合并文件时出错: 合并后的文件长度不对";
}  // namespace txt
