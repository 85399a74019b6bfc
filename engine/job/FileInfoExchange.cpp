#include "engine/job/FileInfoExchange.h"

#include <climits>
#include <cstdio>

#include "engine/Common.h"
#include "engine/http/HttpFraming.h"
#include "engine/http/HttpSocket.h"
#include "engine/TextRules.h"
#include "engine/http/Url.h"
#include "res/Texts.h"

namespace {

constexpr int kValueMax = 256;

// Sets a flag of the socket for as long as one step runs.
struct FlagFor {
  explicit FlagFor(bool& flag) : m_flag(flag) { m_flag = true; }
  ~FlagFor() { m_flag = false; }
  FlagFor(const FlagFor&) = delete;
  FlagFor& operator=(const FlagFor&) = delete;
  bool& m_flag;
};

}  // namespace

bool FileInfoExchange::Open(CHttpSocket& s, std::string& url, int& length, bool& ranged, int from, int to) {
  Opened opened = Opened::kFailed;
  s.m_busy.Reset();
  // A busy host is asked again once it has had its wait, at no cost.
  do {
    opened = Opened::kFailed;
    try {
      opened = AskFrom(s, url, length, ranged, from, to);
    } catch (...) {
      s.Report(txt::kSockFileInfoError);
    }
  } while (opened != Opened::kKept && s.WaitOutBusy(opened == Opened::kUnclear));
  if (opened == Opened::kKept) {
    if (length >= 0) s.Listener().OnContentLength(length);
    return true;
  }
  s.m_bReplyHeld = false;
  s.Close();
  if (opened == Opened::kFailed) return false;
  return CHttpSocket::GetFileInfo(&s, url, length, ranged);
}

FileInfoExchange::Opened FileInfoExchange::AskFrom(CHttpSocket& s, std::string& url, int& length,
                                                   bool& ranged, int from, int to) {
  s.m_strValidator.clear();
  s.m_bReplyHeld = false;
  s.m_nHeldStart = 0;
  s.m_bBare = false;  // a link of its own; only a redirect makes it bare
  UrlParts parts;
  if (!SplitWebUrl(url, parts)) {
    s.Report(txt::kSockBadUrl);
    return Opened::kFailed;
  }
  std::string target = url;
  long long asked = GetTickMs();
  {
    FlagFor fromZero(s.m_bAskFromZero);
    if (!s.BuildFor(parts, false, from, to)) return Opened::kFailed;
    s.Close();
    if (!s.ConnectRoute() || !s.SendRequest() || s.ProxyRefused()) return Opened::kFailed;
    if (s.Head().IsRedirect()) {
      if (!s.FollowRedirect(target, parts)) return Opened::kFailed;
      s.m_bBare = true;  // the job goes on at the target
      asked = GetTickMs();
      if (!s.BuildFor(parts, true, from, to) || !s.RequestOn() || s.ProxyRefused()) return Opened::kFailed;
    }
  }
  const int code = s.GetStatusCode();
  std::string value;
  if (code == 206) {
    ContentRange range;
    // Without its total a 206 tells nothing of the file's length.
    if (s.GetHeaderValue("Content-Range", value, kValueMax) < 0 || !ParseContentRange(value, range) ||
        range.first != from || range.total < 0)
      return Opened::kUnclear;
    if (range.total > INT_MAX) {
      s.Report(txt::kSockLengthTooLarge);
      return Opened::kFailed;
    }
    length = static_cast<int>(range.total);
    ranged = true;
    s.m_nHeldStart = from;
  } else if (code == 416 && s.GetHeaderValue("Content-Range", value, kValueMax) > 0 &&
             TrimSpacesAndTabs(value) == "bytes */0") {
    // An empty file has no byte 0 to give.
    s.Close();
    length = 0;
    ranged = false;
    url = target;
    return Opened::kKept;
  } else {
    // A 200 labelled text may be a host's one-off page (busy, try later)
    // whose length is not the file's: two answers settle that.
    s.GetHeaderValue("Content-Type", value, kValueMax);
    if (code != 200 || IsTextContentType(value)) return Opened::kUnclear;
    if (!ReadFileLength(s, length)) return Opened::kFailed;
    ranged = false;
  }
  ReadValidator(s);
  url = target;
  s.m_bReplyHeld = true;
  s.m_nHeldAskedMs = asked;
  return Opened::kKept;
}

bool FileInfoExchange::Ask(CHttpSocket& s, std::string& url, int& length, bool& ranged) {
  try {
    // Twice at most: a server that once answers with a short page (busy,
    // try later) tells two lengths, and the second round settles it.
    for (int round = 0; round < 2; ++round) {
      std::string target = url;
      int first = -1, total = 0;
      bool rangedNow = false;
      if (!AskRound(s, target, first, rangedNow, total)) return false;
      if (first >= 0 && total > 0 && first != total) continue;
      const int agreed = first >= 0 ? first : total > 0 ? total : -1;
      url = target;
      length = agreed;
      ranged = rangedNow;
      if (agreed >= 0) s.Listener().OnContentLength(agreed);
      return true;
    }
    s.Report(txt::kSockLengthDisagree);
    return false;
  } catch (...) {
    s.Report(txt::kSockFileInfoError);
    return false;
  }
}

// The file's length as this answer tells it: -1 when it does not (chunked,
// or no Content-Length); false when it is beyond our 32 bits.
bool FileInfoExchange::ReadFileLength(CHttpSocket& s, int& length) {
  length = -1;
  std::string te, ce, value;
  s.GetHeaderValue("Transfer-Encoding", te, kValueMax);
  s.GetHeaderValue("Content-Encoding", ce, kValueMax);
  // A chunked answer's Content-Length, if any, does not count.
  if (ReadBodyCoding(te, ce) == BodyCoding::kChunked) return true;
  long long n = 0;
  if (s.GetHeaderValue("Content-Length", value, kValueMax) < 0 || !ParseContentLength(value, n)) return true;
  if (n > INT_MAX) {
    s.Report(txt::kSockLengthTooLarge);
    return false;
  }
  length = static_cast<int>(n);
  return true;
}

void FileInfoExchange::ReadValidator(CHttpSocket& s) {
  std::string tag;
  if (s.GetHeaderValue("ETag", tag, kValueMax) > 0 || s.GetHeaderValue("Last-Modified", tag, kValueMax) > 0)
    s.m_strValidator = tag;
}

// One round of the file-information exchange: the first request (with one
// redirect) and the range probe. length: the first answer's, ranged: the
// probe's 206, total: the probe's Content-Range total (0 when none).
bool FileInfoExchange::AskRound(CHttpSocket& s, std::string& url, int& length, bool& ranged, int& total) {
  UrlParts parts;
  s.m_strValidator.clear();
  total = 0;
  s.m_bBare = false;  // a link of its own; only a redirect makes it bare
  if (!SplitWebUrl(url, parts)) {
    s.Report(txt::kSockBadUrl);
    return false;
  }
  if (!s.BuildFor(parts, s.m_bBare, 0, 0)) return false;
  s.Close();
  if (!s.ConnectRoute() || !s.SendRequest() || s.ProxyRefused()) return false;
  if (s.Head().IsRedirect()) {
    std::string target = url;
    if (!s.FollowRedirect(target, parts)) return false;
    s.m_bBare = true;  // the job goes on at the target
    if (!s.BuildFor(parts, true, 0, 0)) return false;
    if (!s.RequestOn() || s.ProxyRefused()) return false;
    url = target;
  }
  // An error page's length is not the file's: a server that fails this one
  // request and then serves the ranges would have its page's length taken
  // and a cut-off song called a success.
  const int code = s.GetStatusCode();
  if (code >= 400) {
    if (s.MetBusyHost(true)) return false;  // waited out by GetFileInfo
    char text[128];
    std::snprintf(text, sizeof text, txt::kSockFileRefused, code);
    s.Report(text);
    s.Close();
    return false;
  }
  if (!ReadFileLength(s, length)) return false;
  ReadValidator(s);

  if (!s.BuildFor(parts, s.m_bBare, 1, 0)) return false;
  s.Close();
  if (!s.ConnectRoute() || !s.SendRequest() || s.MetBusyHost(true)) return false;
  ranged = s.GetStatusCode() == 206;
  std::string value;
  ContentRange range;
  long long told = -1;
  if (ranged && s.GetHeaderValue("Content-Range", value, kValueMax) >= 0 && ParseContentRange(value, range))
    told = range.total;
  // The probe's body is the whole file from byte 1; nobody reads it, so
  // stop the server pushing it now.
  s.Close();
  if (told > INT_MAX) {
    s.Report(txt::kSockLengthTooLarge);
    return false;
  }
  total = told > 0 ? static_cast<int>(told) : 0;
  return true;
}

