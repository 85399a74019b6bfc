#include "task/Candidate.h"

#include <vector>
#include <cstdio>
#include "engine/Gbk.h"
#include "engine/TextRules.h"
#include "engine/http/HexDigit.h"

#include "res/Texts.h"

CandidateVerdict JudgeProbe(const ProbeFigures& probe, int minSize, int maxSize) {
  if (probe.m_nTimeMs < 0)
    return probe.m_eProbeVerdict == ProbeVerdict::kNotASong ? CandidateVerdict::kNotASong
           : probe.m_eProbeVerdict == ProbeVerdict::kBusy   ? CandidateVerdict::kHostBusy
                                                   : CandidateVerdict::kProbeFailed;
  if (probe.m_nLength < 0) return CandidateVerdict::kUnknownLength;
  if (probe.m_nLength < minSize || probe.m_nLength > maxSize) return CandidateVerdict::kOutOfLimits;
  return CandidateVerdict::kUsable;
}

ChosenReason ReasonForPick(int timeMs, bool checkSpeed, int fastEnoughMs) {
  if (!checkSpeed) return ChosenReason::kNoSpeedCheck;
  return timeMs >= 0 && timeMs <= fastEnoughMs ? ChosenReason::kFastEnough : ChosenReason::kFastest;
}

std::string VerdictText(const Candidate& c) {
  switch (c.m_eVerdict) {
    case CandidateVerdict::kNotProbed: return T(txt::kVerdictNotProbed);
    case CandidateVerdict::kChosen: return T(txt::kVerdictChosen);
    case CandidateVerdict::kUsable: return T(txt::kVerdictUsable);
    case CandidateVerdict::kOutOfLimits: return T(txt::kVerdictOutOfLimits);
    case CandidateVerdict::kProbeFailed: {
      if (c.m_probe.m_strCause.empty()) return T(txt::kVerdictProbeFailed);
      std::string text = T(txt::kVerdictProbeFailedWhy);
      const size_t at = text.find("%s");
      if (at != std::string::npos) text.replace(at, 2, c.m_probe.m_strCause);
      return text;
    }
    case CandidateVerdict::kUnknownLength: return T(txt::kVerdictUnknownLength);
    case CandidateVerdict::kNotASong: return T(txt::kVerdictNotASong);
    case CandidateVerdict::kHostBusy: return T(txt::kVerdictHostBusy);
    case CandidateVerdict::kDownloadFailed: {
      std::string text = T(txt::kVerdictDownloadFailed);
      const size_t at = text.find("%s");
      // Replaced after the conversion: the job's text is GBK already.
      if (at != std::string::npos) text.replace(at, 2, c.m_strFailure);
      return text;
    }
  }
  return {};
}

AudioFacts Candidate::Audio() const {
  AudioFacts a = m_server;
  if (!a.KnownRate()) {
    a.m_nKbps = m_probe.m_audio.m_nKbps;
    a.m_bVbr = m_probe.m_audio.m_bVbr;
  }
  if (a.m_nSeconds < 0) a.m_nSeconds = m_probe.m_audio.m_nSeconds;
  return a;
}

std::string BitrateText(const AudioFacts& a) {
  if (!a.KnownRate()) return {};
  std::string text = T(a.m_bVbr ? txt::kBitrateAverage : txt::kBitrateConstant);
  text.replace(text.find("%d"), 2, std::to_string(a.m_nKbps));
  return text;
}

std::string LengthText(const AudioFacts& a) {
  if (a.m_nSeconds < 0) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d", a.m_nSeconds / 60, a.m_nSeconds % 60);
  return buf;
}

std::string ChosenReasonText(ChosenReason why, const AudioFacts& chosen) {
  switch (why) {
    case ChosenReason::kBestQuality: {
      std::string text = T(txt::kWhyBestQuality);
      // Filled after the conversion: the bitrate text is GBK already.
      text.replace(text.find("%s"), 2, BitrateText(chosen));
      return text;
    }
    case ChosenReason::kNone: return {};
    case ChosenReason::kFastEnough: return T(txt::kWhyFastEnough);
    case ChosenReason::kFastest: return T(txt::kWhyFastest);
    case ChosenReason::kNoSpeedCheck: return T(txt::kWhyNoSpeedCheck);
    case ChosenReason::kStoredAddress: return T(txt::kWhyStoredAddress);
    case ChosenReason::kGivenLink: return T(txt::kWhyGivenLink);
  }
  return {};
}

namespace {

// [begin, end) of the authority of url; begin == end when there is none.
void AuthorityOf(const std::string& url, size_t& begin, size_t& end) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) {
    begin = end = 0;
    return;
  }
  begin = scheme + 3;
  end = url.find_first_of("/?#", begin);
  if (end == std::string::npos) end = url.size();
}

}  // namespace

std::string AddressForShow(const std::string& url) {
  size_t begin, end;
  AuthorityOf(url, begin, end);
  // The last "@" ends the user part: a password may hold one of its own.
  const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (begin == end || at == std::string::npos || at < begin) return url;
  return url.substr(0, begin) + url.substr(at + 1);
}

bool IsFailureCause(const std::string& text) {
  static const std::vector<std::string> prefixes = [] {
    std::vector<std::string> all;
    for (const char* format : {txt::kNetLookupFailed, txt::kNetConnectFailed, txt::kNetConnectTimedOut,
                               txt::kNetCertificateInvalid, txt::kNetProxyRefused}) {
      const std::string f = format;
      all.push_back(T(f.substr(0, f.find("%s")).c_str()));
    }
    return all;
  }();
  for (const std::string& p : prefixes)
    if (text.compare(0, p.size(), p) == 0) return true;
  return false;
}

bool IsWebAddress(const std::string& text) {
  return StartsWithIgnoringCase(text, "http://") || StartsWithIgnoringCase(text, "https://");
}

std::string AddressHost(const std::string& url) {
  const std::string shown = AddressForShow(url);
  size_t begin, end;
  AuthorityOf(shown, begin, end);
  return shown.substr(begin, end - begin);
}

std::string AddressPathForShow(const std::string& url) {
  const std::string shown = AddressForShow(url);
  size_t begin, end;
  AuthorityOf(shown, begin, end);
  const std::string path = shown.substr(end);
  std::string bytes;
  for (size_t i = 0; i < path.size(); ++i) {
    const int hi = path[i] == '%' && i + 2 < path.size() ? HexDigitValue(path[i + 1]) : -1;
    const int lo = hi >= 0 ? HexDigitValue(path[i + 2]) : -1;
    if (lo >= 0) {
      bytes += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      bytes += path[i];
    }
  }
  // Servers encode names as UTF-8 or as GBK; what is neither stays encoded.
  std::string gbk;
  if (IsValidUtf8(bytes) && Utf8ToGbk(bytes, gbk)) return gbk;
  std::string utf8;
  if (GbkToUtf8(bytes, utf8)) return bytes;
  return path;
}
