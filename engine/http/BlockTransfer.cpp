#include "engine/http/BlockTransfer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <utility>

#include "engine/Common.h"
#include "engine/SongContent.h"
#include "engine/http/BlockReplyCheck.h"
#include "engine/http/BodyReader.h"
#include "engine/job/PartShadow.h"
#include "engine/http/HttpSocket.h"
#include "engine/http/Url.h"
#include "engine/job/AttemptBudget.h"
#include "engine/job/DiskWrite.h"
#include "res/Texts.h"

namespace {
// Receives of 16 KB: at 1 KB a call the system calls alone cost a fast
// link half its throughput.
constexpr size_t kReceiveChunk = 16 * 1024;
}  // namespace

void BlockTransfer::NoteWriteError(int err) {
  if (IsLocalWriteError(err)) m_s.m_nLocalError = err;
}

void BlockTransfer::CloseFile() {
  if (!m_file.Close()) NoteWriteError(m_file.Error());
}

void BlockTransfer::NoteKick() {
  m_bKicked = true;
  m_nActivityMs = GetTickMs();
}

int BlockTransfer::CutTo(int length) {
  std::lock_guard<std::mutex> g(m_cutLock);
  if (m_nShared < 0) return -1;
  const int end = m_nCutLength >= 0 && m_nCutLength < m_s.m_nLength ? m_nCutLength : m_s.m_nLength;
  const int cut = length > m_nShared ? length : m_nShared;
  if (cut >= end) return -1;
  m_nCutLength = cut;
  return cut;
}

int BlockTransfer::Received() const {
  std::lock_guard<std::mutex> g(m_cutLock);
  return m_nShared;
}

void BlockTransfer::ApplyCut() {
  std::lock_guard<std::mutex> g(m_cutLock);
  if (m_nCutLength >= 0 && m_nCutLength < m_s.m_nLength) m_s.m_nLength = m_nCutLength;
}

int BlockTransfer::TakeChunk(int received, int n) {
  m_nActivityMs = GetTickMs();
  std::lock_guard<std::mutex> g(m_cutLock);
  int& length = m_s.m_nLength;
  if (m_nCutLength >= 0 && m_nCutLength < length) length = m_nCutLength;
  // Bytes past a moved end belong to another block's file.
  if (n > length - received) n = length - received > 0 ? length - received : 0;
  m_nShared = received + n;
  return n;
}

int BlockTransfer::OpenTempFile() {
  CloseFile();
  m_s.m_nDownloaded = 0;
  // Starting afresh is decided once, at the run's first open: a block asked
  // again keeps what its earlier attempts wrote.
  const bool resume = m_s.m_bResume || (m_bOpened && m_s.m_bRanged);
  m_bOpened = true;
  m_bBadReply = false;
  long long held = 0;
  const BlockFileWriter::Opened opened = m_file.Open(m_s.m_strTempFile, resume, m_s.m_nLength, held);
  m_s.m_nDownloaded = static_cast<int>(held);
  {
    std::lock_guard<std::mutex> g(m_cutLock);
    m_nShared = m_s.m_nDownloaded;
  }
  if (opened != BlockFileWriter::Opened::kFailed && m_s.m_pShadow) {
    m_s.m_pShadow->Opened(m_s.m_nIndex, m_s.m_nStart, held);
    m_file.CopyInto(m_s.m_pShadow, m_s.m_nIndex);
  }
  if (opened == BlockFileWriter::Opened::kContinued) m_s.Report(txt::kSockTempOpened);
  if (opened == BlockFileWriter::Opened::kCreated) m_s.Report(txt::kSockTempCreated);
  if (opened == BlockFileWriter::Opened::kFailed) {
    NoteWriteError(m_file.Error());
    m_s.Report(txt::kSockTempOpenError);
  }
  return m_s.m_nDownloaded;
}

bool BlockTransfer::ConnectAndRequest() {
  CHttpSocket& s = m_s;
  try {
    m_nActivityMs = GetTickMs();
    m_nFirstByteMs = -1;
    m_nAskedMs = m_nActivityMs.load();
    ApplyCut();
    long long start = s.m_nStart;
    const long long end = static_cast<long long>(s.m_nStart) + s.m_nLength - 1;
    const int d = OpenTempFile();
    if (d > 0) start += d;
    // The job's first reply is still on the connection: its body goes on
    // from where the block file ends, already asked for.
    if (std::exchange(s.m_bReplyHeld, false)) {
      if (d == s.m_nHeldStart && s.m_bConnected) {
        m_nRequestStart = s.m_nHeldStart;
        m_nAskedMs = s.m_nHeldAskedMs;
        return true;
      }
      s.Close();
    }
    // Cut down to what the file holds: asking would only fetch bytes that
    // now belong to another block.
    if (d == s.m_nLength && d > 0) {
      std::lock_guard<std::mutex> g(m_cutLock);
      if (m_nCutLength >= 0) return false;
    }
    m_nRequestStart = start;
    UrlParts parts;
    if (!SplitWebUrl(s.m_strURL, parts)) {
      s.Report(txt::kSockBadUrl);
      return false;
    }
    if (start > INT_MAX) return false;
    if (!s.BuildFor(parts, s.m_bBare, static_cast<int>(start), end > INT_MAX ? INT_MAX : static_cast<int>(end)))
      return false;
    // A connection kept from a block that ended exactly at its reply's end
    // carries the next request; anything else starts afresh.
    if (s.HoldsRoute()) return s.RequestOn();
    if (!s.Close()) return false;
    return s.ConnectRoute() && s.SendRequest() && !s.ProxyRefused();
  } catch (...) {
    s.Report(txt::kSockHeadError);
    return false;
  }
}

bool BlockTransfer::CheckReply() {
  m_framing = BodyFraming();
  m_bSniff = false;
  const BlockReplyVerdict v = CheckBlockReply(m_s.Head(), m_nRequestStart, m_s.m_nFileLength);
  switch (v.kind) {
    case BlockReplyVerdict::kFits:
      break;
    case BlockReplyVerdict::kFileChanged:
      m_s.m_bFileChanged = true;
      return false;
    case BlockReplyVerdict::kUnsupported:
      m_s.Report(txt::kSockUnsupportedCoding);
      return false;
    case BlockReplyVerdict::kMismatch: {
      char text[256];
      std::snprintf(text, sizeof text, txt::kSockReplyMismatch, v.status);
      m_s.Report(text);
      return false;
    }
  }
  m_framing = v.framing;
  m_bTextLabel = v.textLabel;
  // The file's first bytes decide a text label, and they come with the
  // reply that starts at byte 0.
  m_bSniff = m_nRequestStart == 0;
  return true;
}

bool BlockTransfer::FlushAndReport(long long received) {
  if (!m_file.Flush()) {
    NoteWriteError(m_file.Error());
    return false;
  }
  m_nLastFlushMs = GetTickMs();
  // Written first, reported second: a crash never loses a reported byte.
  m_s.Listener().OnProgress(static_cast<int>(received), m_s.m_nLength, m_s.m_nIndex);
  return true;
}

bool BlockTransfer::ReceiveBody() {
  CHttpSocket& s = m_s;
  // A block that is already whole completes without a body, even when its
  // request found no server.
  const bool whole = s.m_nLength > 0 && s.m_nDownloaded == s.m_nLength;
  if ((!s.m_bConnected && !whole) || s.m_nLength == 0) return false;
  // A block of unknown length runs to the end of the body: the chunked
  // coding's last chunk, the Content-Length, or the server's close.
  const bool toEnd = s.m_nLength < 0;
  const bool chunked = m_framing.coding == BodyCoding::kChunked;
  long long received = s.m_nDownloaded;
  bool failed = false;  // the block file could not be written
  bool bad = false;     // the reply broke its own framing or is not a song
  bool ended = false;   // the body's own end was seen
  bool judged = !m_bSniff || received > 0;
  BodyReader body(s.m_conn, m_framing, -1, kReceiveChunk);
  m_file.DropPending();
  m_nLastFlushMs = GetTickMs();
  s.Report(txt::kSockReceiveStart);
  // The block's length may move down under us (a split); TakeChunk keeps it current.
  while (!whole && !ended && (toEnd || received < s.m_nLength)) {
    size_t cap = kReceiveChunk;
    if (!chunked && !toEnd && received + static_cast<long long>(cap) > s.m_nLength)
      cap = static_cast<size_t>(s.m_nLength - received);
    BodyReader::Got got = body.Next(cap, m_file.Pending() > 0);
    if (got == BodyReader::Got::kEnd) {
      ended = true;
      break;
    }
    if (got == BodyReader::Got::kWouldBlock) {
      // The stream paused with bytes still gathered: give them a moment to
      // be joined by more, then put them in the file before waiting long.
      if (s.m_conn.WaitReadable(100)) continue;
      if (judged && !FlushAndReport(received)) {
        failed = true;
        break;
      }
      if (judged) continue;
      got = body.Next(cap, false);
    }
    if (got == BodyReader::Got::kClosed && toEnd && body.EndsAtClose()) {
      ended = true;  // a reply without a length ends at the close
      break;
    }
    if (got != BodyReader::Got::kData && got != BodyReader::Got::kBadChunk) {
      s.Close();
      break;
    }
    if (m_nFirstByteMs < 0) m_nFirstByteMs = GetTickMs();
    if (!m_file.IsOpen()) {
      failed = true;
      break;
    }
    if (m_file.Pending() + body.Raw() > m_file.Capacity()) {
      // 64 KB of blanks: not a page we can recognise, but no audio either.
      if (!judged && m_bTextLabel) {
        s.Report(txt::kSockNotASong);
        bad = true;
        break;
      }
      judged = true;
      if (!FlushAndReport(received)) {
        failed = true;
        break;
      }
    }
    if (got == BodyReader::Got::kBadChunk) {
      s.Report(txt::kSockBadChunk);
      bad = true;
      break;
    }
    size_t produced = body.Size();
    ended = body.Ended();
    if (toEnd) {
      m_nActivityMs = GetTickMs();
      if (received + static_cast<long long>(produced) > INT_MAX) {
        s.Report(txt::kSockLengthTooLarge);
        bad = true;
        break;
      }
    } else {
      // Decoded bytes past the block's end (a whole-file 200, an open
      // range, or an end a split moved) belong to another block.
      produced = static_cast<size_t>(TakeChunk(static_cast<int>(received), static_cast<int>(produced)));
    }
    m_file.Append(body.Data(), produced);
    received += static_cast<long long>(produced);
    if (!judged) {
      const SongBytes j = JudgeBody(m_file.PendingData(), m_file.Pending(), m_bTextLabel);
      if (j == SongBytes::kMarkup) {
        s.Report(txt::kSockNotASong);
        bad = true;
        break;
      }
      judged = j == SongBytes::kSong;
    }
    if (judged && m_file.Pending() > 0 && GetTickMs() - m_nLastFlushMs >= 200 && !FlushAndReport(received)) {
      failed = true;
      break;
    }
  }
  // Text that has not shown an audio signature never reaches the file: a
  // page when the whole body is here, else asked again from its start.
  if (!bad && !judged && m_bTextLabel) {
    if (ended || received == s.m_nLength) s.Report(txt::kSockNotASong);
    bad = true;
  }
  // Bytes of a reply that failed its checks never reach the file; the
  // rest is written and reported.
  if (bad) {
    received -= static_cast<long long>(m_file.Pending());
    m_file.DropPending();
  } else if (m_file.Pending() > 0 && !FlushAndReport(received)) {
    failed = true;
  }
  m_bBadReply = bad;
  m_nAttemptBytes = received - s.m_nDownloaded;
  CloseFile();
  if (const int err = s.m_nLocalError.load()) {
    // Say why: no other attempt or link can cure a full disk.
    s.Listener().OnMessage(LocalWriteErrorText(err), s.m_nIndex);
    return false;
  }
  if (failed) s.Report(txt::kSockDownloadFailed);
  s.Report(txt::kSockReceiveDone);
  if (failed || bad) return false;
  ApplyCut();  // a cut down to what had come in ends the block here
  if (toEnd) {
    if (ended && received > 0) {
      std::lock_guard<std::mutex> g(m_cutLock);
      s.m_nLength = static_cast<int>(received);
      s.m_bCompleted = 1;
    }
  } else if (received == s.m_nLength) {
    s.m_bCompleted = 1;
    // Nothing of this reply left unread: the connection may carry the job's
    // next block, which then runs at the speed this one has shown.
    const long long told = s.Head().Framing().length;
    s.m_bReusable = s.m_bConnected && told >= 0 && told == received - s.m_nDownloaded && !s.Head().Closes();
  }
  return s.m_bCompleted == 1;
}

void BlockTransfer::Run() {
  CHttpSocket& s = m_s;
  CAttemptBudget budget(s.m_nRetries);
  bool paused = false;  // the last attempt had a reply and then went quiet
  long long most = -1;  // the most the block file has held in this run
  while (budget.Left() && !s.m_bAborted) {
    m_nAttemptBytes = 0;
    const bool requested = ConnectAndRequest();
    if (s.m_bAborted) break;
    if (s.WaitOutBusy(requested)) continue;
    if (s.m_busy.GivenUp()) break;
    const bool whole = s.m_nLength > 0 && s.m_nDownloaded == s.m_nLength;
    const bool replied = whole || (requested && CheckReply());
    if (replied) ReceiveBody();
    CloseFile();
    // A connection another task is owed goes back instead of on to our next block.
    if (!s.m_bCompleted || !s.m_bReusable || s.m_conn.HostOwed()) s.Close();
    if (s.m_bAborted) break;
    if (s.m_bCompleted) {
      s.Listener().OnSuccess(s.m_nIndex);
      return;
    }
    if (s.m_bFileChanged) break;
    if (s.m_nLocalError) break;
    if (s.m_bCertRefused) break;
    paused = m_bKicked.exchange(false) || (replied && !m_bBadReply);
    // Bytes that only make up for a restart from the start are no progress.
    const long long held = s.m_nDownloaded + m_nAttemptBytes;
    const long long base = most < 0 ? s.m_nDownloaded : most;
    budget.EndAttempt(held - base, s.m_nLength);
    most = std::max(base, held);
  }
  CloseFile();
  s.Close();
  // A stopped job wants neither answer.
  if (s.m_bAborted) return;
  if (s.m_bCompleted) {
    s.Listener().OnSuccess(s.m_nIndex);
    return;
  }
  // The attempts' own texts tell of refusals; a host that kept going quiet
  // would otherwise end the job without a word.
  if (!budget.Left() && paused) s.Report(txt::kSockStalledOut);
  s.Listener().OnFailure(s.m_nIndex);
}
