#pragma once
// Texts of the browsing views (UTF-8 source).
namespace txt {
// Fixed nodes of the folder tree, in display order.
inline constexpr const char kNodeDowning[] = "正在下载";
inline constexpr const char kNodeDownloaded[] = "已下载";
inline constexpr const char kNodeNews[] = "新闻娱乐";
inline constexpr const char kNodeSongLists[] = "歌曲列表";
inline constexpr const char kNodeAllSongs[] = "全部歌曲";
inline constexpr const char kNodeHitChart[] = "热门排行榜";
inline constexpr const char kNodePop[] = "流行精选";
inline constexpr const char kNodeFolk[] = "民族歌曲";
inline constexpr const char kNodeCampus[] = "校园民谣";
inline constexpr const char kNodeFilm[] = "影视金曲";
inline constexpr const char kNodeEnglish[] = "经典英文";

// The folder of finished downloads beside the program (name on disk).
inline constexpr const char kDownloadedDir[] = "已下载";

// Folder menu.
inline constexpr const char kMenuNewSibling[] = "新建同级";
inline constexpr const char kMenuNewChild[] = "新建下级";
inline constexpr const char kMenuDelete[] = "删除";
inline constexpr const char kMenuRename[] = "修改";
inline constexpr const char kTipNewSibling[] = "新建同级文件夹";
inline constexpr const char kTipNewChild[] = "新建下级文件夹";
inline constexpr const char kTipDelete[] = "删除选中的文件夹";
inline constexpr const char kTipRename[] = "修改选中的文件夹名称";

// Folder messages.
inline constexpr const char kBoxCaption[] = "提示";
inline constexpr const char kFolderNameEmpty[] = "文件夹名称不能为空,请重新输入!";
inline constexpr const char kFolderExists[] = "该文件夹已存在，请重新输入!";
inline constexpr const char kFolderRenameFailed[] = "文件夹更名失败!";
inline constexpr const char kFolderCreateFailed[] = "文件夹创建失败!";
inline constexpr const char kFolderNotEmpty[] = "该文件夹不为空，真的要删除吗!";
inline constexpr const char kFolderDeleteSongs[] = "该文件夹下的所有MP3文件将被删除，要删除吗!";
inline constexpr const char kFolderDeleteError[] = "删除文件夹时出错!";

// Song list.
inline constexpr const char kColFileName[] = "文件名";
inline constexpr const char kColSize[] = "大小";
inline constexpr const char kMenuPlay[] = "播放";
inline constexpr const char kMenuDeleteSong[] = "删除";
inline constexpr const char kSongDeleteError[] = "删除文件时出错: %s";
inline constexpr const char kOneSongOnly[] = "抱歉!暂时只能一次放一首歌.";
// The system has no program for the song or page (the name or address follows).
inline constexpr const char kCannotOpenFile[] = "无法打开文件: ";
inline constexpr const char kCannotOpenLink[] = "无法打开链接: ";
}  // namespace txt
