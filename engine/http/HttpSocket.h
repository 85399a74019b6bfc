#pragma once
// One HTTP/1.1 client connection over a TCP socket. We write the request
// ourselves, read the header a byte at a time and put the body straight
// into the block file.
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include "engine/http/SocketListener.h"
#include "engine/ProbeVerdict.h"
#include "engine/SongContent.h"
#include "engine/http/BlockTransfer.h"
#include "engine/http/BusyAnswer.h"
#include "engine/http/Connection.h"
#include "engine/http/HostLimiter.h"
#include "engine/http/Reply.h"
#include "engine/http/RequestRoute.h"

struct UrlParts;
class CPartShadow;

// Process-wide time-outs in seconds, read at every connect.
extern std::atomic<int> ConTimeOut;  // connect, default 5
extern std::atomic<int> GetTimeOut;  // each receive and send, default 15
// Seconds of a time-out in milliseconds; a negative one is 0, and one too
// long for an int stops at INT_MAX rather than wrapping.
int TimeOutMs(int seconds);

class CHttpSocket {
 public:
  explicit CHttpSocket(ISocketListener* userData);
  ~CHttpSocket();  // does not close the socket: the owner calls Close first
  CHttpSocket(const CHttpSocket&) = delete;
  CHttpSocket& operator=(const CHttpSocket&) = delete;

  void SetURL(const std::string& url);
  // No request of this socket gets credentials: its address is where a
  // redirect led. Set by GetFileInfo when it follows one.
  void SetBare(bool bare) { m_bBare = bare; }
  void SetTempFile(const std::string& path);

  // Body of a block thread: attempts at the byte range until it is whole or
  // m_nRetries attempts in a row have added next to nothing (CAttemptBudget).
  // Only a reply that fits the request reaches the block file (206 from the
  // asked byte; without a Range line 200, or 206 from byte 0); a block file
  // that already holds the whole block completes whatever the reply.
  void Run();
  // Length and range support of url, following one redirect (url is then
  // replaced by the target). Also fills m_strValidator. A length beyond 32
  // bits fails. The first answer's length and the range probe's total must
  // agree: when they differ the whole exchange is asked once more, and a
  // second disagreement fails. length is -1 when neither answer tells it
  // (chunked or close-delimited, and no total): the file is then fetched
  // as one block to the end of its body. OnContentLength is called once,
  // with the agreed length, and not at all when it is unknown. The
  // connection is closed when it returns true.
  static bool GetFileInfo(CHttpSocket* s, std::string& url, int& length, bool& rangeSupported);
  // The job's first reply (FileInfoExchange::Open) waits on the connection:
  // the first attempt of Run reads its body as the block's start, from
  // m_nHeldStart (byte 0, or where a resumed block 0's file ends), without
  // asking again. Dropped when the block file holds another count of bytes.
  bool m_bReplyHeld = false;
  int m_nHeldStart = 0;
  long long m_nHeldAskedMs = -1;  // when that reply was asked for
  // Times in steady-clock milliseconds; the caller's url is not changed.
  // Leaves no connection held. An answer that is a page (Content-Type, or
  // markup in its first body bytes) fails with verdict kNotASong and leaves
  // reconnectMs untouched, so such a link is never timed as usable.
  bool ProbeSpeed(const std::string& url, int& parseMs, int& headerMs, int& reconnectMs,
                  int& length, std::string& contentType, ProbeVerdict& verdict);
  bool ProbeSpeed(const std::string& url, int& parseMs, int& headerMs, int& reconnectMs,
                  int& length, std::string& contentType);
  // Set for a probe that wants the body's first bytes: asked with the bytes
  // so far, true when they are enough. At most kProbeHeadMax are read.
  std::function<bool(const std::string& head)> OnProbeHead;
  static constexpr size_t kProbeHeadMax = 64 * 1024;
  // After ProbeSpeed: the body bytes read (undecoded transfer coding
  // removed), and the address that answered (after a redirect).
  std::string m_strProbeHead;
  std::string m_strProbeTarget;
  bool Close();
  // Callable from any thread: shuts the socket down so a blocked receive,
  // send or connect returns, and makes Run give up without further attempts.
  // After an Abort, Run returns promptly WITHOUT calling OnSuccess or
  // OnFailure (the job is being stopped). The socket is not closed here: the
  // owning thread closes it. An Abort is final for the object.
  void Abort();
  // Callable from any thread while the block runs: moves its end down so it
  // holds `length` bytes, or what it has already received when that is
  // more. Returns the length it now ends at; -1 when nothing moved (the end
  // is there already, or no attempt has opened the block file yet).
  int CutTo(int length);
  // Takes over `from`'s connection when it is held and has no unread body.
  // Both objects belong to the calling thread, or `from`'s thread is done
  // with it and this one's has not started.
  void AdoptConnection(CHttpSocket& from);
  // Whose connections these are when a host's limit is shared out fairly
  // (a job, a task): the listener given at construction unless set.
  const void* m_pHostOwner = nullptr;
  // Where a job's block bytes are also copied in place, if anywhere.
  CPartShadow* m_pShadow = nullptr;
  // A permit the caller took for this socket's next connection (a split
  // asks the host's limit before it starts a block).
  void GivePermit(HostLimiter::Permit&& permit) { m_spare = std::move(permit); }
  // The caller's permit for a run of this socket's exchanges (a probe):
  // each connection to its host rides on it in turn and gives it back on
  // close. A connection to another host (a redirect) lets it go first, so
  // the socket never holds one host while it waits for another. An empty
  // permit ends the run, closing the connection.
  void CoverHost(HostLimiter::Permit&& permit);
  // The connection this socket keeps idle is one somebody is queued for.
  bool HostWanted() const;
  // Bytes of the block received so far; -1 before an attempt opened the file.
  int Received() const;
  // Tick of the last body byte, or of the current attempt's start.
  long long ActivityMs() const { return m_transfer.ActivityMs(); }
  // Ticks of the current attempt's request and of its first body byte
  // (-1 until it came). Any thread.
  long long AskedMs() const { return m_transfer.AskedMs(); }
  long long FirstByteMs() const { return m_transfer.FirstByteMs(); }
  // Callable from any thread: drops the current attempt's connection, so a
  // server that went quiet is asked again at once. The attempt costs
  // nothing when it had brought a fair share of bytes.
  void Kick();

  std::string m_strURL;
  bool m_bBare = false;
  std::string m_strTempFile;
  int m_bCompleted = 0;
  int m_bConnected = 0;
  int m_bResume = 0;
  // The server honours ranges: after the run's first open every attempt
  // continues the block file, whatever m_bResume says.
  bool m_bRanged = false;
  int m_nIndex = 0;
  int m_nStart = 0;
  int m_nLength = 0;
  int m_nRetries = 3;
  // Who hears this socket's reports; null silences it.
  ISocketListener* m_pUserData = nullptr;
  // The listener, or one that hears nothing: reports need no check.
  ISocketListener& Listener() const {
    static ISocketListener none;
    ISocketListener* l = m_pUserData;
    return l ? *l : none;
  }
  char m_szRequest[1024];
  // Replies of hosts behind caches carry policies and cookies: a header
  // may take this much.
  char m_szHeader[16 * 1024];
  std::string m_strHost;
  int m_nPort = 0;
  int m_socket = 0;
  int m_nHeaderLength = 0;
  int m_nDownloaded = 0;
  // ETag, else Last-Modified, of the last GetFileInfo answer; empty when the
  // server sent neither. Block files are only continued for the same one.
  std::string m_strValidator;
  const std::string& Validator() const { return m_strValidator; }
  // Length of the whole file as the job agreed it; 0 when unknown. Block
  // replies must agree with it: a 200's Content-Length equal to it, a 206's
  // total (when given) equal to it.
  int m_nFileLength = 0;
  // Set when a 206 named another total than m_nFileLength: the file on the
  // server has changed, so Run gives up at once without more attempts.
  bool m_bFileChanged = false;

  // The steps of one block attempt, kept under their old names; the block
  // transfer does them.
  bool ConnectAndRequest() { return m_transfer.ConnectAndRequest(); }
  int OpenTempFile() { return m_transfer.OpenTempFile(); }
  bool ReceiveBody() { return m_transfer.ReceiveBody(); }
  bool BuildRequest(const std::string& host, const std::string& object, const char* cookie,
                    const char* referer, int start, int end);
  // Straight to host:port over plain TCP.
  bool Connect(const std::string& host, int port);
  bool SendRequest();
  bool SetTimeout(int ms, bool receive);
  // True only for a header that ended with its blank line; a header cut by
  // a close, a time-out or the end of the buffer is no answer.
  bool ReadHeader();
  int GetStatusCode() const;
  int GetHeaderValue(const char* name, std::string& out, int maxLength) const;
  // The last reply's header.
  Reply Head() const { return Reply(m_szHeader, static_cast<size_t>(m_nHeaderLength)); }

 private:
  friend class FileInfoExchange;
  friend class BlockTransfer;
  friend class SpeedProbe;
  void Report(const char* text);
  int Exchange();
  // The request for parts (absolute form through an http proxy) into
  // m_szRequest, and the route that the next Connect takes.
  bool BuildFor(const UrlParts& parts, bool bare, int start, int end);
  // Connects along m_route; reuses a held connection of the same route.
  bool ConnectRoute();
  // The held connection goes where m_route goes and may carry a request.
  bool HoldsRoute() const;
  // Connect + SendRequest that reconnects once when a held connection turns
  // out to be closed by the server.
  bool RequestOn();
  // A 407 from an http proxy is the proxy's refusal, not the server's.
  bool ProxyRefused();
  // Reads a redirect's body off the held connection so the next answer
  // starts at its own header; anything doubtful gives the connection up.
  void DrainRedirectBody();
  bool FollowRedirect(std::string& url, UrlParts& parts);

  // The last request met a busy host: a 503/429 reply (`requested`), or a
  // connection taken and dropped before any reply while we held others to
  // the host. The host learns from it.
  bool MetBusyHost(bool requested);
  // A busy host is waited for, costing no attempt: true when the request
  // is to be made again (or the wait was stopped); false when the host was
  // not busy, or has been busy too often in a row.
  bool WaitOutBusy(bool requested);

  BusyAnswer m_busy;
  HostLimiter::Permit m_spare;    // see GivePermit
  // Inside GetFileInfo and a covered run: a closed connection's permit
  // stays as m_spare, so the next request does not queue behind others.
  bool m_bKeepTurn = false;
  // How the last exchange ended before a reply byte: ECONNRESET for a
  // close or reset, EPIPE for a send refused, else errno; 0 otherwise.
  int m_nExchangeErr = 0;

  CConnection m_conn;     // every byte to and from the server goes through it
  CRequestRoute m_route;  // of the request in m_szRequest
  std::string m_strProxyHeaders;  // lines BuildRequest adds for a proxy
  bool m_bCertRefused = false;  // no other attempt can mend a refused certificate
  bool m_bReusable = false;   // held connection has no unread body
  bool m_bHeaderOnly = false; // inside GetFileInfo/ProbeSpeed: bodies go unread
  bool m_bAskFromZero = false; // the next request has a Range line even from byte 0

  // Guards m_socket against Abort from another thread; never held across a
  // blocking call.
  mutable std::mutex m_sockLock;
  std::atomic<bool> m_bAborted{false};

 public:
  // errno of a block file write that failed for a local cause (full disk,
  // no permission); 0 otherwise. Run gives up at once when it is set.
  std::atomic<int> m_nLocalError{0};

 private:
  BlockTransfer m_transfer{*this};  // the block's run; last, as it refers to the rest
};
