#include "task/TargetPath.h"

#include "engine/Gbk.h"
#include "engine/TextRules.h"
#include "res/Texts.h"

std::string TargetFileName(const std::string& name) {
  // The name is the task's key and stays as it is; only the file name is
  // made safe so nothing lands outside the download folder.
  if (name.empty() || name == "." || name == "..") return {};
  std::string out = name;
  for (char& c : out)
    if (c == '/' || c == '\0') c = '_';
  return out;
}

std::string TargetPathFor(const std::string& folder, const std::string& name, const std::string& link,
                          std::string type) {
  const std::string file = TargetFileName(name);
  if (file.empty()) return {};
  // Only the file type itself is taken from the link, so a script link
  // ("dl.php?f=a.mp3") still gives a song and no part of a path or query
  // can reach the file name.
  if (type.empty()) type = ".MP3";
  if (link.size() >= type.size()) {
    const std::string tail = link.substr(link.size() - type.size());
    if (SameTextIgnoringCase(tail, type)) type = tail;
  }
  // A hand-edited type must not name a folder either.
  for (char& c : type)
    if (c == '/' || c == '\0') c = '_';
  return folder + "/" + txt::kDownloadedFolder + "/" + GbkToUtf8(file) + GbkToUtf8(type);
}
