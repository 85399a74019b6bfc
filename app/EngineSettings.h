#pragma once
// The search engines of MP3.ini's [Enginee] section as the settings dialog
// edits them, and the music servers among them. Texts are GBK as in the
// file; an engine with a server address is a Subsonic server and its head
// and tail keys are not used.
#include <string>
#include <vector>

struct EngineEntry {
  std::string m_strName;
  std::string m_strServer;
  std::string m_strUser;
  std::string m_strPassword;  // as stored: plain, or "enc:" + hex of UTF-8
};

class CEngineSettings {
 public:
  static constexpr size_t kNameBuffer = 20;
  static constexpr size_t kServerBuffer = 256;
  static constexpr size_t kUserBuffer = 256;
  static constexpr size_t kPasswordBuffer = 512;

  // Engine number n (from 1; any text as CurSel gives it) as the file holds it.
  static EngineEntry Read(const std::string& ini, const std::string& n);
  // Engines 1 ... Count, in file order.
  static std::vector<EngineEntry> ReadAll(const std::string& ini);
  // Writes engine n's name and server keys, and Count when n is past it.
  // typedPassword is UTF-8 as typed and is stored in the "enc:" form; an
  // empty one keeps the password the file has. A page engine (no server)
  // gets its server keys emptied. False when a write failed.
  static bool Write(const std::string& ini, int n, const EngineEntry& entry,
                    const std::string& typedPassword);
  // The engine the dialog's server button works on, given the engine combo's
  // selection (from 0, -1 for none): the selected engine when it is a
  // server, else a new one after the last. entry is filled for an edit and
  // left empty for a new one.
  static int ServerTarget(const std::string& ini, int selIndex, EngineEntry& entry);
  // Makes the selected engine's music server, if it is one, the only one
  // the request layer adds credentials for (stored downloads of it get them
  // too). Returns the file's other servers.
  static std::vector<std::string> RegisterSelectedServer(const std::string& ini);
};
