#pragma once
// The disk side of the folder tree and the song list, free of any window.
// Paths are file-system bytes (UTF-8 on this platform); folder names typed
// by the user arrive as GBK and are checked here before they become paths.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct SongFile {
  std::string m_strName;  // file name on disk, extension included
  int64_t m_nLength = 0;  // 0 when the file cannot be opened for reading
};

// dir + "/" + name.
std::string JoinPath(const std::string& dir, const std::string& name);

// True for names whose extension (from the last ".", any case) is one of
// .mp3 .wma .rm .swf.
bool IsSongFileName(const std::string& name);

// Whole kilobytes with thousands separators: 1536000 -> "1,500KB".
std::string FormatSizeKB(int64_t bytes);

// Length of a file that can be opened for reading, else 0.
int64_t GetSongLength(const std::string& path);

// Song files of a directory in the order the file system lists them;
// directories (and links to them) are skipped. Empty when dir is missing.
std::vector<SongFile> ListSongFiles(const std::string& dir);

// Sub-directories in listing order, without "." and "..". Symbolic links
// are not followed, so a link loop cannot make the tree endless.
std::vector<std::string> ListSubFolders(const std::string& dir);

// Blanks (ASCII white space and the full-width blank) cut from both ends
// of a GBK text, never splitting a two-byte character.
std::string TrimFolderName(const std::string& gbk);

// A name that may become a directory below the downloaded folder: valid
// GBK, not empty, no "/" or NUL, and neither "." nor "..". Anything else
// could reach outside the folder it is meant for.
bool IsUsableFolderName(const std::string& gbk);

// Something (of any kind, links included) stands at path.
bool FolderExists(const std::string& path);

// Plain directory operations; false on any failure.
bool MakeFolder(const std::string& path);
// Never replaces an existing entry at `to`.
bool RenameFolder(const std::string& from, const std::string& to);
// Succeeds only for an empty directory.
bool RemoveEmptyFolder(const std::string& path);

// Removes every file, link and sub-directory below `dir`, then `dir`.
// Links are removed as links, never followed. Each directory level that
// cannot be removed calls onLevelFailure once (the caller shows the
// message); the result is whether `dir` itself is gone.
bool DeleteFolderTree(const std::string& dir, const std::function<void()>& onLevelFailure);

// Moves a file, replacing a file of the same name at `to`. Moving a file
// onto itself does nothing and fails; the source is only removed once its
// bytes are safely at `to`.
bool MoveSongFile(const std::string& from, const std::string& to);

bool DeleteSongFile(const std::string& path);

// What the song list's delete does: the song goes to the user's trash, or
// is deleted where there is no trash at all. True when no song is left at
// path (also when it was gone already); false when it could be neither
// moved nor deleted, or a folder now stands in its place.
bool DiscardSongFile(const std::string& path);
