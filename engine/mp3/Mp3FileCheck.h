#pragma once
// Whether a finished download is a whole MP3 song: the file is read once,
// front to back, and walked frame by frame.
#include <string>

#include "engine/FileCheck.h"
#include "engine/mp3/Mp3Walker.h"

struct Mp3FileReport {
  bool m_bRead = false;  // false: the file could not be opened or read
  Mp3Verdict m_eVerdict = Mp3Verdict::kNoFrames;
  long long m_nFrames = 0;
  long long m_nDeclared = -1;
  double m_fCover = 0;  // frame bytes / bytes between the tags
};

Mp3FileReport CheckMp3File(const std::string& path);

// For the merge: a texts key when the file at path must not become the
// song, nullptr when it may. A file that cannot be read is left to the
// merge's own checks.
const char* RefuseBrokenMp3(const std::string& path);

// The check a finished download at path gets: MP3 files are walked; other
// types (WMA, RM) are not.
FileCheck FinishedFileCheckFor(const std::string& path);
