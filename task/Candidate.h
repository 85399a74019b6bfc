#pragma once
// One link of a song's search as the user sees it: what its probe measured
// and what the task made of it. Plain values, copied freely between the
// task, the application and the front ends.
#include <string>

#include "engine/ProbeVerdict.h"

// What a link's audio is. -1 where nothing told it.
struct AudioFacts {
  int m_nKbps = -1;     // the average of a variable rate
  bool m_bVbr = false;
  int m_nSeconds = -1;
  std::string m_strSuffix;  // a music server's own word for the file type

  bool KnownRate() const { return m_nKbps > 0; }
};

// What one probe measured. Lengths and times are -1 when unknown.
struct ProbeFigures {
  int m_nTimeMs = -1;  // the reconnect time the pick compares
  int m_nLength = -1;  // Content-Length; -1 when the reply had none
  bool m_bRanges = false;
  std::string m_strContentType;
  ProbeVerdict m_eProbeVerdict = ProbeVerdict::kAnswered;  // until a probe says otherwise
  std::string m_strCause;  // GBK: why the connection failed, when it said
  AudioFacts m_audio;  // what the first bytes told
};

enum class CandidateVerdict {
  kNotProbed,
  kChosen,
  kUsable,
  kOutOfLimits,
  kProbeFailed,
  kUnknownLength,
  kNotASong,
  kDownloadFailed,
  kHostBusy,  // still busy after every wait a probe may spend on it
};

enum class ChosenReason {
  kNone,
  kFastEnough,     // answered within the fast-enough time
  kFastest,        // every link probed, this one was quickest
  kNoSpeedCheck,   // speed check off: the first usable one
  kStoredAddress,  // the entry's address was used, nothing searched
  kGivenLink,      // the user named or picked it
  kBestQuality,    // quality first: the highest bitrate among the quick ones
};

struct Candidate {
  std::string m_strAddress;  // GBK, never with credentials
  std::string m_strHost;     // host[:port] of the address
  std::string m_strPath;     // its path for showing (AddressPathForShow)
  int m_nFound = 0;          // position in the search's answer, from 0
  bool m_bProbed = false;
  ProbeFigures m_probe;
  CandidateVerdict m_eVerdict = CandidateVerdict::kNotProbed;
  std::string m_strFailure;  // GBK: the job's last text, for kDownloadFailed
  AudioFacts m_server;       // what a music server said of it in its answer

  // The server's word where it gave one, else the probe's.
  AudioFacts Audio() const;
};

// The verdict of a finished probe against the size limits. Only kUsable
// may be picked.
CandidateVerdict JudgeProbe(const ProbeFigures& probe, int minSize, int maxSize);
// Why the pick won, given the winner's time and the speed-check setting.
ChosenReason ReasonForPick(int timeMs, bool checkSpeed, int fastEnoughMs);

// GBK texts for the front ends.
std::string VerdictText(const Candidate& c);
// kBestQuality names the chosen link's bitrate: give its audio.
std::string ChosenReasonText(ChosenReason why, const AudioFacts& chosen = {});
// "320kbps", "VBR 245kbps"; empty when unknown.
std::string BitrateText(const AudioFacts& a);
// "4:05" (minutes:seconds; hours as minutes); empty when unknown.
std::string LengthText(const AudioFacts& a);

// The address without "user:password@" in its authority, for showing and
// keeping; the address itself when it has none.
std::string AddressForShow(const std::string& url);
// "host" or "host:port" of an address; empty when it has no authority.
std::string AddressHost(const std::string& url);
// Whether a GBK text is one the engine says why a connection failed with
// (the host that did not resolve, the refused certificate, ...), as opposed
// to its fixed texts that only say which step failed.
bool IsFailureCause(const std::string& text);

// Whether text begins "http://" or "https://" (scheme in any case): the
// addresses a task downloads from and an entry keeps.
bool IsWebAddress(const std::string& text);
// What follows the authority (path and query), percent-decoded for showing,
// as GBK: names a server encoded as UTF-8 or as GBK read as themselves;
// anything else is shown as it stands in the address.
std::string AddressPathForShow(const std::string& url);
