#pragma once
// Where block files, records, locks and scratch files live: a folder only
// this user can reach. The first usable of
//   <$TMPDIR or /tmp>/virelomp3-<uid>
//   $XDG_RUNTIME_DIR/virelomp3
//   $HOME/.cache/virelomp3/tmp
// is made 0700 when missing, and is used only while it is a real folder
// (no link), owned by us, that nobody else can write into. A shared temp
// folder is never used itself: anyone may have put files there first.
#include <string>

class TempFolder {
 public:
  struct Choice {
    std::string m_strPath;    // ends in "/"; empty when none is usable
    std::string m_strFirst;   // the first place, without the "/"
    std::string m_strReason;  // why the first place was refused (UTF-8), or ""
  };

  // Reads the environment each time: a test or a front end may change it.
  static Choice Decide();
  // Makes dir (mode 0700) when missing and checks it: "" when it is ours
  // to use, else why not (UTF-8). A folder of ours that others may only read
  // is closed to them; one they may write into is refused.
  static std::string Claim(const std::string& dir);
  // base + "/virelomp3-<uid>".
  static std::string PrivateUnder(const std::string& base);
  // Where earlier versions put block files: $TMPDIR itself, ending in "/";
  // empty without $TMPDIR.
  static std::string FormerFolder();
  // "无法使用临时文件夹: <path>(<reason>)" (GBK) when no place is usable,
  // else empty.
  static std::string RefusalText();
  static std::string RefusalText(const Choice& choice);
};
