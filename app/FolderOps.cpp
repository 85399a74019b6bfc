#include "app/FolderOps.h"
#include "app/TrashCan.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>

#include "engine/Common.h"
#include "engine/Gbk.h"
#include "engine/TextRules.h"

namespace {

struct DirCloser {
  void operator()(DIR* d) const {
    if (d) closedir(d);
  }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool IsDotName(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// d_type is not filled in on every file system; fall back to lstat then.
bool IsRealDirectory(int dirFd, const dirent* entry) {
  if (entry->d_type == DT_DIR) return true;
  if (entry->d_type != DT_UNKNOWN) return false;
  struct stat st;
  return fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

bool IsGbkBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool CopyFileBytes(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  char buf[64 * 1024];
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  if (fsync(out) != 0) ok = false;
  if (close(out) != 0) ok = false;
  close(in);
  return ok;
}

// Works on a directory opened without following links, so a link swapped
// in for a directory is never descended into.
bool DeleteTreeAt(int parentFd, const std::string& name, const std::string& path,
                  const std::function<void()>& onLevelFailure) {
  int fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    DirHandle dir(fdopendir(fd));
    if (!dir) {
      close(fd);
    } else {
      while (dirent* entry = readdir(dir.get())) {
        if (IsDotName(entry->d_name)) continue;
        if (IsRealDirectory(fd, entry))
          DeleteTreeAt(fd, entry->d_name, JoinPath(path, entry->d_name), onLevelFailure);
        else
          unlinkat(fd, entry->d_name, 0);
      }
    }
  }
  if (unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0) return true;
  if (onLevelFailure) onLevelFailure();
  return false;
}

}  // namespace

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "/" + name; }

bool IsSongFileName(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string ext = AsciiLower(name.substr(dot));
  return ext == ".mp3" || ext == ".wma" || ext == ".rm" || ext == ".swf";
}

std::string FormatSizeKB(int64_t bytes) {
  std::string text = std::to_string(bytes < 0 ? 0 : bytes / 1024);
  InsertThousandSeparators(text);
  return text + "KB";
}

int64_t GetSongLength(const std::string& path) {
  // A 64-bit length, so songs past 4 GB do not show a wrapped size.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct stat st;
  int64_t length = 0;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) length = static_cast<int64_t>(st.st_size);
  close(fd);
  return length;
}

std::vector<SongFile> ListSongFiles(const std::string& dir) {
  std::vector<SongFile> songs;
  DirHandle d(opendir(dir.c_str()));
  if (!d) return songs;
  while (dirent* entry = readdir(d.get())) {
    if (IsDotName(entry->d_name)) continue;
    std::string path = JoinPath(dir, entry->d_name);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (!IsSongFileName(entry->d_name)) continue;
    songs.push_back({entry->d_name, GetSongLength(path)});
  }
  return songs;
}

std::vector<std::string> ListSubFolders(const std::string& dir) {
  std::vector<std::string> names;
  DirHandle d(opendir(dir.c_str()));
  if (!d) return names;
  int fd = dirfd(d.get());
  while (dirent* entry = readdir(d.get())) {
    if (IsDotName(entry->d_name)) continue;
    if (IsRealDirectory(fd, entry)) names.emplace_back(entry->d_name);
  }
  return names;
}

std::string TrimFolderName(const std::string& gbk) {
  // Walk by character so a trailing byte of a two-byte character is never
  // taken for a blank.
  size_t begin = 0, end = 0;
  bool seenText = false;
  for (size_t i = 0; i < gbk.size();) {
    unsigned char c = static_cast<unsigned char>(gbk[i]);
    size_t len = (c >= 0x81 && c <= 0xFE && i + 1 < gbk.size()) ? 2 : 1;
    bool blank = len == 1 ? IsGbkBlank(c)
                          : (c == 0xA1 && static_cast<unsigned char>(gbk[i + 1]) == 0xA1);
    if (!blank) {
      if (!seenText) begin = i;
      seenText = true;
      end = i + len;
    }
    i += len;
  }
  return seenText ? gbk.substr(begin, end - begin) : std::string();
}

bool IsUsableFolderName(const std::string& gbk) {
  if (gbk.empty() || gbk == "." || gbk == "..") return false;
  if (gbk.find('/') != std::string::npos || gbk.find('\0') != std::string::npos) return false;
  std::string utf8;
  return GbkToUtf8(gbk, utf8);
}

bool FolderExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool MakeFolder(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

bool RenameFolder(const std::string& from, const std::string& to) {
  // rename() would silently replace an empty directory standing at `to`.
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveEmptyFolder(const std::string& path) { return rmdir(path.c_str()) == 0; }

bool DeleteFolderTree(const std::string& dir, const std::function<void()>& onLevelFailure) {
  return DeleteTreeAt(AT_FDCWD, dir, dir, onLevelFailure);
}

bool MoveSongFile(const std::string& from, const std::string& to) {
  struct stat src, dst;
  if (lstat(from.c_str(), &src) != 0 || S_ISDIR(src.st_mode)) return false;
  // Replacing a file with itself (same folder, or two names of one file)
  // would end with the song deleted.
  if (lstat(to.c_str(), &dst) == 0 && src.st_dev == dst.st_dev && src.st_ino == dst.st_ino)
    return false;
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV || !S_ISREG(src.st_mode)) return false;
  // Another file system: copy next to the target first, so a failed copy
  // leaves both the source and any old target untouched.
  std::string part = to + ".part";
  if (!CopyFileBytes(from, part) || rename(part.c_str(), to.c_str()) != 0) {
    unlink(part.c_str());
    return false;
  }
  unlink(from.c_str());
  return true;
}

bool DeleteSongFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool DiscardSongFile(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return false;
  switch (TrashCan::MoveToTrash(path)) {
    case TrashCan::Result::kTrashed: return true;
    case TrashCan::Result::kNoTrash: return DeleteSongFile(path);
    case TrashCan::Result::kFailed: break;
  }
  return false;
}
