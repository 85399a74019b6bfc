#pragma once
// The settings dialog's logic without its window: what its fields show when
// it opens, and what confirming writes to MP3.ini. The window (ui/) only
// copies these to and from its controls.
#include <string>
#include <vector>

#include "task/TaskHost.h"

class CDownloaderApp;

// What the dialog shows when it opens, read afresh from MP3.ini.
struct SettingsDlgFields {
  std::vector<std::string> engines;    // engine combo items (GBK), file order
  int nEngineSel = -1;                 // -1: nothing selected
  std::vector<std::string> fileTypes;  // file type combo items
  int nFileTypeSel = -1;
  std::vector<std::string> blockItems;  // "1" ... "5"
  int nBlocksSel = -1;
  std::string strMinSize;  // megabytes, as in the file
  std::string strMaxSize;
  bool bCheckSpeed = true;
  std::string strConTimeOut;  // seconds
  std::string strGetTimeOut;
  // The "网络" group below the fields.
  std::string strProxy;  // [Network] Proxy: empty, "none" or a proxy address
  // [Speed] HostConnections as it is in effect: 1 to 16, "6" when absent.
  std::string strHostConnections;
  bool bPreferQuality = false;

  // The combo texts the selections give (empty when nothing is selected).
  std::string EngineText() const;
  std::string FileTypeText() const;
  std::string BlocksText() const;
};

// What the user left in the dialog when pressing confirm.
struct SettingsDlgInput {
  int nEngineSel = -1;        // selected engine index, -1 for none
  std::string strFileType;    // the file type combo's text (may be typed)
  std::string strBlocks;      // the thread count combo's text (may be typed)
  std::string strMinSize;
  std::string strMaxSize;
  bool bCheckSpeed = true;
  std::string strConTimeOut;
  std::string strGetTimeOut;
  std::string strProxy;
  std::string strHostConnections;  // empty: the default
  bool bPreferQuality = false;
};

// Fills the dialog's fields from the MP3.ini at iniPath.
SettingsDlgFields LoadSettingsDlg(const std::string& iniPath);
// Why the input cannot be confirmed, as a GBK message text; empty when it
// can. An empty size field stands for the size in effect (inEffect), since
// the reload keeps that value.
std::string CheckSettingsDlg(const SettingsDlgInput& input, const TaskSettings& inEffect);
// The confirm step: when CheckSettingsDlg refuses, returns its text and
// writes nothing. Otherwise writes the keys in their fixed order, as typed,
// runs LoadSettings on app (when not null) and returns empty.
std::string ConfirmSettingsDlg(const std::string& iniPath, const SettingsDlgInput& input,
                               CDownloaderApp* app);

// The size edits' filter: whether the typed character reaches the edit whose
// current text is text. Backspace ('\b') always acts, once.
bool NumberEditAccepts(const std::string& text, char typed);
// The time-out edits' filter: digits only, any number of them.
bool DigitEditAccepts(const std::string& text, char typed);
