#pragma once
// Texts of virelomp3-cli's help and messages (UTF-8 source, printed as is).
// Command names, option names, exit status numbers and the --tsv columns
// are the program's interface and stay as they are in every language.
namespace txt {
inline constexpr const char kCliUsageWord[] = "用法:";
inline constexpr const char kCliCommandsWord[] = "命令:";
inline constexpr const char kCliOptionsWord[] = "选项:";
inline constexpr const char kCliHelpHelp[] = "说明每个命令, 或其中一个";
inline constexpr const char kCliHomeNote[] =
    "写在命令前的 --home DIR 为任何命令指定程序目录\n"
    "(默认: $VIRELOMP3_HOME, 否则为程序所在的文件夹; 安装的程序为\n"
    "~/.local/share/virelomp3).";
inline constexpr const char kCliHelpOption[] = "显示本帮助";
inline constexpr const char kCliHomeOption[] = "以 DIR 作为程序目录";
inline constexpr const char kCliNoServerOption[] = "搜索时不启动自带的音乐服务器";

inline constexpr const char kCliUnknownCommand[] = "未知命令 '%s'";
inline constexpr const char kCliUnknownOption[] = "未知选项 %s";
inline constexpr const char kCliTakesNoValue[] = "%s 不带值";
inline constexpr const char kCliNeedsValue[] = "%s 需要 %s";
inline constexpr const char kCliUnexpectedArgument[] = "多余的参数 %s";

// get
inline constexpr const char kCliGetSummary[] = "下载歌曲";
inline constexpr const char kCliGetHelp[] =
    "像窗口程序一样搜索、挑选并下载每首歌, 存入程序目录的 \"已下载\",\n"
    "并随时更新 downing.dat. 歌名之间用 \";\" 分隔; 命令行上没有歌名时\n"
    "从标准输入读取, 每行一个或多个 (可带字节顺序标记, 可用 CRLF 换行).\n"
    "无法保存的歌名单独被拒绝 (\"歌名含有无法保存的字符\"), 其余照常下载.\n"
    "用 --link 时, 这一个歌名直接从 URL 下载, 不搜索.\n"
    "Ctrl-C, SIGTERM, SIGHUP 或输出被关闭都会结束运行: 任务列表被保存,\n"
    "打印汇总; 分块文件留给下次运行.\n"
    "退出状态: 0 每首歌都已完成, 1 有歌失败, 2 用法错误或程序目录不可用,\n"
    "3 另一个程序正在使用该程序目录, 130 被中断.";
inline constexpr const char kCliNoUpdateCheckOption[] = "不发送使用统计, 也不检查更新";
inline constexpr const char kCliIdleTimeoutOption[] = "任务 SEC 秒没有消息即放弃 (默认 300)";
inline constexpr const char kCliLinkOption[] = "从 URL 下载这一个歌名, 不搜索 (记为它的地址)";
inline constexpr const char kCliLinkOneName[] = "--link 只能用于一个歌名";

// list
inline constexpr const char kCliListSummary[] = "显示保存的任务列表 (downing.dat)";
inline constexpr const char kCliListHelp[] =
    "列出 downing.dat 中的每个任务及其各列, 不改动该文件. 重试次数一列\n"
    "记录运行中任务的失败次数, 任务放弃后显示 \"失败\".\n"
    "退出状态: 0 已列出 (没有任务时也是), 1 无法读取该文件,\n"
    "2 用法错误或程序目录不存在.";

// remove
inline constexpr const char kCliRemoveSummary[] = "删除任务及其文件";
inline constexpr const char kCliRemoveHelp[] =
    "从 downing.dat 中删除指定的任务, 连同其分块文件、进度文件、锁文件和\n"
    "未完成的 \".part\" 文件; \"已下载\" 中下载完成的歌曲保留. 歌名之间用\n"
    "\";\" 分隔, 也可以分成几个参数.\n"
    "退出状态: 0 完成, 1 有指定的任务不在列表中 (其余照常删除), 2 用法错误\n"
    "或程序目录不存在, 3 另一个程序正在使用该程序目录, 或无法保存\n"
    "downing.dat (这时什么也不删除).";
inline constexpr const char kCliFailedOption[] = "删除每个已放弃的任务 (重试次数一列为 \"失败\")";
inline constexpr const char kCliAllOption[] = "删除所有任务";
inline constexpr const char kCliRemoveWhat[] = "请指定任务, 或使用 --failed 或 --all";

// search
inline constexpr const char kCliSearchSummary[] = "像任务一样搜索并探测一个歌名的链接, 不下载";
inline constexpr const char kCliSearchHelp[] =
    "按 MP3.ini 的设置像任务一样搜索并探测, 按名次列出候选链接: 先是选用的,\n"
    "再是按响应时间排列的可用链接, 然后是未探测的, 最后是被拒绝的.\n"
    "不加锁, 不写任何文件. 用 --tsv 时每个候选一行, 各列依次为: 是否选用\n"
    "(1/0), 名次, 地址, 长度, 响应时间 (ms), 支持分段 (yes/no),\n"
    "Content-Type, 结论.\n"
    "退出状态: 0 有可用的链接, 1 没有, 2 用法错误或程序目录不存在.";
inline constexpr const char kCliTsvOption[] = "每个候选一行, 以制表符分隔, 供程序读取";
inline constexpr const char kCliSearchOneName[] = "一次只能搜索一个歌名";

// fetch
inline constexpr const char kCliFetchSummary[] = "把文件分 N 块下载";
inline constexpr const char kCliFetchHelp[] =
    "用程序自己的下载引擎把 http:// 或 https:// 地址 URL 下载到文件 OUT,\n"
    "文字和进度显示在标准错误上. 分块文件放在私有的临时目录中, 以后用\n"
    "同一个 OUT 再次运行会接着下载. 给出几对 URL OUT 时它们同时下载,\n"
    "共用到每个主机的连接数.\n"
    "退出状态: 0 全部完成, 1 有下载失败, 2 用法错误, 130 被中断.";
inline constexpr const char kCliBlocksOption[] = "分 N 个并行的块下载 (1 到 64, 默认 4)";
inline constexpr const char kCliHostConnectionsOption[] = "同时最多 N 个到歌曲所在主机的连接 (1 到 16, 默认 6)";
inline constexpr const char kCliNoResumeOption[] = "从头下载, 不接着已有的分块文件";
inline constexpr const char kCliOutIsFolderName[] = "OUT 必须是文件名, 不能是文件夹";
inline constexpr const char kCliOutIsFolder[] = "OUT 是一个文件夹: %s";
inline constexpr const char kCliOutNotWritable[] = "OUT 已存在且不可写: %s";
inline constexpr const char kCliOutFolderMissing[] = "OUT 所在的文件夹不存在: %s";
inline constexpr const char kCliOutFolderNotWritable[] = "OUT 所在的文件夹不可写: %s";
inline constexpr const char kCliNeedsNumber[] = "%s 需要一个数字";
inline constexpr const char kCliNumberRange[] = "%s 必须是 %s 到 %s 之间的整数, 而不是 '%s'";
inline constexpr const char kCliFetchUsage[] = "用法: fetch URL OUT [URL OUT]... [--blocks N] [--host-connections N] [--no-resume]";
inline constexpr const char kCliOutTwice[] = "同一个 OUT 给了两次: %s";
inline constexpr const char kCliUnusableUrl[] = "不是可用的 http:// 或 https:// 地址: '%s'";
inline constexpr const char kCliFetchInterrupted[] = "已中断; 分块文件保留, 供以后继续";
inline constexpr const char kCliFetchInterruptedAtEnd[] = "下载结束时被中断";
inline constexpr const char kCliFetchSaved[] = "已保存 %s (%s 秒)";
inline constexpr const char kCliFetchFailed[] = "失败: %s";
inline constexpr const char kCliJobSaidNothing[] = "下载没有给出说明";
inline constexpr const char kCliBytesWord[] = "字节";
}  // namespace txt
