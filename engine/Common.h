#pragma once
// Small shared helpers for paths, files and display texts, and the one
// process-wide lock. Paths use "/" on this platform.
#include <cstdint>
#include <mutex>
#include <string>

// Program directory: $VIRELOMP3_HOME when set, else the executable's
// directory, or the user's data folder when the program runs installed
// (engine/ProgramDirectory.h); never ends in "/".
std::string GetAppDirectory();
// GetAppDirectory() + "/MP3.ini".
std::string GetIniFilePath();
// Size of a readable file (low 32 bits), 0 when it cannot be opened.
int GetFileLength(const std::string& path);
// True when the file can be opened for reading.
bool IsFileExist(const std::string& path);
// The user's private temp folder (engine/job/TempFolder.h); always ends in "/"
// unless empty, when no place for one is usable.
std::string GetTempDirectory();
// Text after the last "/", or the whole text.
std::string GetPathFileName(const std::string& path);
// The folder holding path: text before the last "/", "/" for a file at the
// root, "." for a bare name.
std::string GetPathFolder(const std::string& path);
// "1234567" -> "1,234,567", in place.
void InsertThousandSeparators(std::string& text);
// "%dm:%ds"; whole hours stay in the minutes so stored times survive.
std::string FormatMinutesSeconds(int seconds);

// Milliseconds of a monotonic clock: the program's tick counter.
long long GetTickMs();

// Held around the task list save. Never re-entered; lock order is
// application lock first, then g_lock.
extern std::mutex g_lock;
