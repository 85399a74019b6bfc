#pragma once
// Texts of the engine layer (UTF-8 source).
namespace txt {
inline constexpr const char kRecordFileCreateFailed[] = "记录文件%s 创建失败\n请检查磁盘空间是否已满。";
// The private temp folder. %s: the folder, then one of the reasons below
// or the system's words.
inline constexpr const char kTempFolderRefused[] = "无法使用临时文件夹: %s(%s)";
inline constexpr const char kTempFolderOtherOwner[] = "属于其他用户";
inline constexpr const char kTempFolderIsLink[] = "是符号链接";
inline constexpr const char kTempFolderNotFolder[] = "不是文件夹";
inline constexpr const char kTempFolderOpenToOthers[] = "其他用户可以写入";
// Download job
inline constexpr const char kJobStartError[] = "创建下载线程时出错: ";
inline constexpr const char kJobUnknownError[] = "未知错误";
inline constexpr const char kJobFileInfoError[] = "获取下载文件的相关信息时出错.";
inline constexpr const char kJobZeroLength[] = "要下载的文件长度为零.";
inline constexpr const char kJobAllBlocksDone[] = "所有块下载完成";
inline constexpr const char kJobMerging[] = "正在合并文件";
inline constexpr const char kJobTargetInUse[] = "目标文件正在被使用";
// Followed by the folder's path.
inline constexpr const char kJobFolderMissing[] = "下载文件夹不存在: ";
inline constexpr const char kJobWaitingForTarget[] = "另一个程序正在下载同名文件, 等待中...";
inline constexpr const char kJobSucceeded[] = "下载成功";
inline constexpr const char kJobMergeReadFailed[] = "合并文件时出错: 无法读取临时文件";
inline constexpr const char kJobMergeBlockSize[] = "合并文件时出错: 临时文件长度不对";
inline constexpr const char kJobMergeWriteFailed[] = "合并文件时出错: 写入目标文件失败";
inline constexpr const char kJobMergeSize[] = "合并文件时出错: 合并后的文件长度不对";
inline constexpr const char kJobFileChanged[] = "服务器上的文件已经改变.";
// Socket HTTP connection
inline constexpr const char kSockSocketFailed[] = "socket()函数执行失败!";
inline constexpr const char kSockLookupFailed[] = "gethostbyname()函数执行失败!";
inline constexpr const char kSockSetOptFailed[] = "setsockopt()函数执行失败!";
inline constexpr const char kSockCloseFailed[] = "closesocket()函数执行失败!";
inline constexpr const char kSockSendFailed[] = "send()函数执行失败!";
inline constexpr const char kSockHeadError[] = "获取http head时出错";
inline constexpr const char kSockFileInfoError[] = "获取下载文件信息时出错.";
inline constexpr const char kSockSpeedError[] = "获取连接速度时出错.";
inline constexpr const char kSockTempOpened[] = "成功打开下载临时文件";
inline constexpr const char kSockTempCreated[] = "成功创建下载临时文件";
inline constexpr const char kSockTempOpenError[] = "打开下载临时文件时出错.";
inline constexpr const char kSockReceiveStart[] = "开始接收文件";
inline constexpr const char kSockDownloadFailed[] = "下载文件失败.";
inline constexpr const char kSockReceiveDone[] = "接收文件完成";
inline constexpr const char kSockBadUrl[] = "下载地址无效.";
inline constexpr const char kSockRequestTooLong[] = "下载地址太长, 请求无法发送.";
inline constexpr const char kSockHeaderTooLong[] = "服务器返回的http头太长.";
inline constexpr const char kSockLengthTooLarge[] = "服务器返回的文件长度超出范围.";
// %d: the status code the server answered with
inline constexpr const char kSockReplyMismatch[] = "服务器的应答与请求的范围不符(状态%d).";
inline constexpr const char kSockFileRefused[] = "服务器没有给出文件(状态%d).";
inline constexpr const char kSockNoLocation[] = "服务器的转向应答没有给出新地址.";
// Local causes of a failed write: no other link would do better.
inline constexpr const char kDiskFull[] = "磁盘空间不足.";
inline constexpr const char kNoWritePermission[] = "没有写入权限.";
inline constexpr const char kSockHeaderCut[] = "服务器返回的http头不完整.";
inline constexpr const char kSockBadChunk[] = "服务器返回的分块数据格式错误.";
inline constexpr const char kSockUnsupportedCoding[] = "服务器使用了不支持的传输编码.";
inline constexpr const char kSockLengthDisagree[] = "服务器返回的文件长度前后不一致.";
inline constexpr const char kSockNotASong[] = "链接返回的不是歌曲文件.";
inline constexpr const char kSockStalledOut[] = "连接多次停顿,下载失败.";
// Why a connection failed, said before the texts above. %s: the host (an
// IPv6 address in brackets) and port, the library's or system's words.
inline constexpr const char kNetLookupFailed[] = "无法解析主机名: %s";
inline constexpr const char kNetConnectFailed[] = "无法连接到服务器: %s(%s)";
inline constexpr const char kNetConnectTimedOut[] = "连接服务器超时: %s";
inline constexpr const char kNetCertificateInvalid[] = "服务器证书无效: %s";
inline constexpr const char kNetProxyRefused[] = "代理服务器拒绝了请求: %s";
}  // namespace txt
