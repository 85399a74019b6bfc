#pragma once
// How a job learns the length, the range support and the validator of the
// file behind a link, on the connection that will go on to fetch it.
#include <string>

class CHttpSocket;

class FileInfoExchange {
 public:
  // One ranged request from byte 0 (following one redirect): a 206 with a
  // known total tells the length and that ranges work, a 200 that is not
  // labelled text tells the length (or -1) of a file that comes as one
  // block. Either reply stays on s (m_bReplyHeld) so its body becomes the
  // start of the block that begins at byte 0: a host slow to answer costs
  // one wait, not three. Any other answer is closed and the two-request
  // exchange of Ask decides. url, length, ranged and OnContentLength as
  // for CHttpSocket::GetFileInfo.
  // from > 0: block 0's file already holds that many bytes, so the request
  // asks from there (to byte `to` when that is past from); only a 206
  // starting at from is held as its continuation (m_nHeldStart), a 200 is
  // held as the file from byte 0.
  static bool Open(CHttpSocket& s, std::string& url, int& length, bool& ranged, int from = 0, int to = 0);
  // The two-request exchange behind CHttpSocket::GetFileInfo: a request
  // without a range for the length, then a range probe; the connection is
  // closed after it.
  static bool Ask(CHttpSocket& s, std::string& url, int& length, bool& ranged);

 private:
  enum class Opened { kKept, kFailed, kUnclear };
  static Opened AskFrom(CHttpSocket& s, std::string& url, int& length, bool& ranged, int from, int to);
  static bool AskRound(CHttpSocket& s, std::string& url, int& length, bool& ranged, int& total);
  static bool ReadFileLength(CHttpSocket& s, int& length);
  static void ReadValidator(CHttpSocket& s);
};
