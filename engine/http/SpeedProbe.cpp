#include "engine/http/SpeedProbe.h"

#include <algorithm>
#include <climits>

#include "engine/Common.h"
#include "engine/http/BodySniff.h"
#include "engine/http/HttpSocket.h"
#include "engine/http/Url.h"
#include "res/Texts.h"

bool SpeedProbe::ReadLength(CHttpSocket& s, int& length) {
  const long long n = std::max(s.Head().ContentLength(), 0LL);
  if (n > INT_MAX) {
    s.Report(txt::kSockLengthTooLarge);
    return false;
  }
  length = static_cast<int>(n);
  return true;
}

SongBytes SpeedProbe::Sniff(CHttpSocket& s, bool labelledText) {
  const long long deadline = GetTickMs() + std::min(TimeOutMs(GetTimeOut.load()), 2000);
  return CBodySniff::Read(s.m_conn, s.Head().Framing(), labelledText,
                          s.OnProbeHead ? CHttpSocket::kProbeHeadMax : 4096, deadline, s.OnProbeHead,
                          s.m_strProbeHead);
}

bool SpeedProbe::Run(CHttpSocket& s, const std::string& url, int& parseMs, int& headerMs, int& reconnectMs,
                     int& length, std::string& contentType, ProbeVerdict& verdict) {
  verdict = ProbeVerdict::kFailed;
  s.m_strProbeHead.clear();
  s.m_strProbeTarget = url;
  try {
    long long t = GetTickMs();
    UrlParts parts;
    const bool split = SplitWebUrl(url, parts);
    parseMs = static_cast<int>(GetTickMs() - t);
    if (!split) {
      s.Close();
      s.Report(txt::kSockBadUrl);
      return false;
    }
    long long clockT = GetTickMs();
    bool bare = false;
    if (!s.BuildFor(parts, bare, 0, 0) || !s.RequestOn() || s.ProxyRefused()) {
      s.Close();
      return false;
    }
    if (s.Head().IsRedirect()) {
      bare = true;
      std::string target = url;
      t = GetTickMs();
      if (!s.FollowRedirect(target, parts)) {
        s.Close();
        return false;
      }
      parseMs = static_cast<int>(GetTickMs() - t);
      s.m_strProbeTarget = target;
      clockT = GetTickMs();
      if (!s.BuildFor(parts, true, 0, 0) || !s.RequestOn() || s.ProxyRefused()) {
        s.Close();
        return false;
      }
    }
    if (BusyAnswer::IsBusyStatus(s.GetStatusCode())) {
      s.Close();
      verdict = ProbeVerdict::kBusy;
      return false;
    }
    int n = 0;
    if (!ReadLength(s, n)) {
      s.Close();
      return false;
    }
    length = n;
    s.GetHeaderValue("Content-Type", contentType, Reply::kValueMax);
    headerMs = static_cast<int>(GetTickMs() - clockT);
    // A host's error page served as 200 would otherwise be the fastest
    // candidate with a plausible size.
    // A text label only passes with an audio signature in the first bytes.
    const bool labelled = IsTextContentType(contentType);
    const SongBytes sniffed = Sniff(s, labelled);
    if (sniffed == SongBytes::kMarkup || (labelled && sniffed != SongBytes::kSong)) {
      s.Close();
      verdict = ProbeVerdict::kNotASong;
      s.Report(txt::kSockNotASong);
      return false;
    }

    s.Close();
    // Timed from when the host can have seen that close: the wait for it is
    // ours, not the host's.
    if (!s.m_spare.AwaitSettled([&s] { return s.m_bAborted.load(); })) return false;
    long long clockR = GetTickMs();
    if (!s.BuildFor(parts, bare, 0, 0) || !s.ConnectRoute() || !s.SendRequest()) {
      s.Close();
      return false;
    }
    s.Close();
    if (BusyAnswer::IsBusyStatus(s.GetStatusCode())) {
      verdict = ProbeVerdict::kBusy;
      return false;
    }
    reconnectMs = static_cast<int>(GetTickMs() - clockR);
    verdict = ProbeVerdict::kAnswered;
    return true;
  } catch (...) {
    s.Close();
    s.Report(txt::kSockSpeedError);
    return false;
  }
}
