#pragma once
// Texts of the updater (UTF-8 source).
namespace txt {
inline constexpr const char kUpdateCaption[] = "在线升级";
inline constexpr const char kUpdateInstalled[] = "已安装的版本: %s";
inline constexpr const char kUpdatePublished[] = "已发布的版本: %s";
inline constexpr const char kUpdateWhere[] = "下载地址: %s";
inline constexpr const char kUpdateNewer[] = "有新版本可以下载.";
inline constexpr const char kUpdateCurrent[] = "已是最新版本.";
inline constexpr const char kUpdateFromPackage[] = "本程序由软件包安装, 请用系统的软件包管理器升级.";
inline constexpr const char kUpdateNoVersion[] = "无法取得版本信息: %s";
}  // namespace txt
