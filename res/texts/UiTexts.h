#pragma once
// Texts of the ui layer (UTF-8 source).
namespace txt {

// Main frame
inline constexpr const char kFrameTitle[] = "VireloMP3下载器 2.0版";
inline constexpr const char kStartAll[] = "全部开始";
inline constexpr const char kStopAll[] = "全部停止";
inline constexpr const char kDeleteAll[] = "全部删除";
inline constexpr const char kSettings[] = "参数设置";
inline constexpr const char kUpgrade[] = "在线升级";
inline constexpr const char kExitSystem[] = "退出系统";
inline constexpr const char kMenuFile[] = "文件(&F)";
inline constexpr const char kMenuClose[] = "关闭(&X)";
inline constexpr const char kMenuView[] = "查看(&V)";
inline constexpr const char kMenuToolbar[] = "工具栏(&T)";
inline constexpr const char kMenuHelp[] = "帮助(&H)";
inline constexpr const char kMenuAbout[] = "关于 VireloMP3下载器(&A)...";
inline constexpr const char kTrayShow[] = "显示主窗口";
inline constexpr const char kTrayExit[] = "退出";
inline constexpr const char kTrayTip[] = "VireloMP3下载器V2.0\n--左点显示主窗口\n--右点显示菜单";

// Download list
inline constexpr const char kDlColName[] = "名称";
inline constexpr const char kDlColSize[] = "大小";
inline constexpr const char kDlColDone[] = "完成数";
inline constexpr const char kDlColPercent[] = "百分比";
inline constexpr const char kDlColElapsed[] = "用时";
inline constexpr const char kDlColRemaining[] = "剩时";
inline constexpr const char kDlColSpeed[] = "速度";
inline constexpr const char kDlColUrl[] = "URL";
inline constexpr const char kDlColBlocks[] = "块数";
inline constexpr const char kDlColState[] = "状态";
inline constexpr const char kDlColRetries[] = "重试";
inline constexpr const char kListStart[] = "开始下载";
inline constexpr const char kListStop[] = "停止下载";
inline constexpr const char kListDelete[] = "删除下载";

// Search bar
inline constexpr const char kSearchLabel[] = "请输入歌名:";
inline constexpr const char kSearchButton[] = "下载";

// Settings dialog
inline constexpr const char kSettingsTitle[] = "下载参数设置";
inline constexpr const char kSetEngine[] = "当前搜索引擎:";
inline constexpr const char kSetFileType[] = "下载文件类型:";
inline constexpr const char kSetThreads[] = "线程数:";
inline constexpr const char kSetSizeLimit[] = "文件大小限制:";
inline constexpr const char kSetSizeTilde[] = "~";
inline constexpr const char kSetSizeUnit[] = "M之间";
inline constexpr const char kSetCheckSpeed[] = "寻找最快链接(下载将更快,但寻找会费点时间)";
inline constexpr const char kSetConTimeOut[] = "连接超时:";
inline constexpr const char kSetGetTimeOut[] = "接收超时:";
inline constexpr const char kSetSeconds[] = "秒";
inline constexpr const char kSetNetworkGroup[] = "网络";
inline constexpr const char kSetProxy[] = "代理服务器:";
inline constexpr const char kSetProxyHint[] = "空: 按环境变量; none: 不用代理";
inline constexpr const char kSetHostConnections[] = "每个服务器的最大连接数:";
inline constexpr const char kConfirm[] = "确认";
inline constexpr const char kCancel[] = "取消";

// Music server engine dialog
inline constexpr const char kSetServerButton[] = "服务器...";
inline constexpr const char kServerAddTitle[] = "添加音乐服务器";
inline constexpr const char kServerEditTitle[] = "编辑音乐服务器";
inline constexpr const char kServerName[] = "名称:";
inline constexpr const char kServerAddress[] = "服务器地址:";
inline constexpr const char kServerUser[] = "用户名:";
inline constexpr const char kServerPassword[] = "密码:";
inline constexpr const char kServerKeepPassword[] = "(不修改请留空)";
inline constexpr const char kServerPasswordWarning[] =
    "注意: 保存的 enc: 形式不是加密; 用 http 地址的服务器, 密码在网络上以可读形式传送.";
inline constexpr const char kServerNeedName[] = "请输入服务器名称.";
inline constexpr const char kServerNeedAddress[] = "请输入服务器地址(例如 https://music.example.com).";
inline constexpr const char kServerNeedUser[] = "请输入用户名.";
inline constexpr const char kServerNeedPassword[] = "请输入密码.";
inline constexpr const char kServerSaveFailed[] = "无法保存音乐服务器设置.";

// About box
inline constexpr const char kAboutTitle[] = "关于 VireloMP3下载器";
inline constexpr const char kAboutVersion[] = "VireloMP3下载器 2.0版";
inline constexpr const char kAboutLine1[] = "搜索歌名, 多线程分块下载, 断点续传.";
inline constexpr const char kAboutLine2[] = "自由软件, 按 GNU 通用公共许可证第3版或更新版本 (GPL-3.0-or-later) 发布.";
inline constexpr const char kOk[] = "确定";

}  // namespace txt
