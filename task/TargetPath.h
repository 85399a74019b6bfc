#pragma once
// Where a task's song is saved. Whoever cleans up a task's files must use
// these same rules.
#include <string>

// The file name (GBK, no extension) a task named `name` downloads to: "/" and
// NUL replaced, "." and ".." refused (empty).
std::string TargetFileName(const std::string& name);

// UTF-8 path in the download folder of `folder` for name, downloading link
// as fileType (empty: ".MP3"): spelt as the link ends when it ends with the
// type. Empty when the name cannot be a file.
std::string TargetPathFor(const std::string& folder, const std::string& name, const std::string& link,
                          std::string fileType);
