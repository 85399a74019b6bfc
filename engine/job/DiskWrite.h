#pragma once
// The engine's writes to block files and merged files go through here, so a
// failure says why (a full disk, no permission) and tests can make a folder
// "full" without a file system of their own.
#include <cstddef>
#include <string>

// Writes all n bytes; false with errno set when it cannot.
bool WriteAll(int fd, const void* data, size_t n);
// The same at offset `at`, leaving the file's position alone.
bool WriteAllAt(int fd, const void* data, size_t n, long long at);
// The errno a write to fd must fail with now (0: none). Only set by tests.
int InjectedWriteError(int fd);
// The same for a file that would be written at path.
int InjectedWriteErrorAt(const std::string& path);
// From now on writes to files under `folder` fail with err (0 clears it).
void InjectWriteError(const std::string& folder, int err);

// True for causes on this machine that no other link can cure: a full disk,
// no permission, a read-only file system.
bool IsLocalWriteError(int err);
// "磁盘空间不足." or "没有写入权限." (GBK); empty for other causes.
std::string LocalWriteErrorText(int err);

// The system's own text for err (GBK), for causes the texts table has no
// words of its own for.
std::string SystemErrorText(int err);

// Flushes the folder holding path to disk, so a rename into it survives a
// power loss. False when it could not be done.
bool SyncFolderOf(const std::string& path);
