#pragma once
// Texts of the engine layer (UTF-8 source).
namespace txt {
inline constexpr const char kRecordFileCreateFailed[] = "记录文件%s 创建失败\n请检查磁盘空间是否已满。";
}  // namespace txt
