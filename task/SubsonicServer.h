#pragma once
// What the program knows about one music server that speaks the Subsonic
// REST API: where it is, who logs in, the API version it reports and
// whether it takes the token form of the password. One object per server
// in the process, so a fallback learned by a search also serves the
// downloads that follow.
//
// The server's requests get their credentials from here when they are sent
// (see CRequestAuth); addresses handed out hold none.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "task/JsonValue.h"

struct SubsonicReply {
  enum class State { kUnreachable, kBadReply, kOk, kFailed };
  State m_state = State::kUnreachable;
  int m_nCode = 0;          // the server's error code (kFailed)
  std::string m_strMessage; // the server's error message, UTF-8 (kFailed)
  CJsonValue m_body;        // the "subsonic-response" object (kOk, kFailed)
  // This call found the token refused and went over to the password form:
  // the first time for this server in the process, so it is said once.
  bool m_bSwitchedToPassword = false;
};

class CSubsonicServer {
 public:
  // The object for server (an http:// or https:// address, trailing "/"
  // ignored), made on first use, with its credentials brought up to date.
  // storedPassword is as MP3.ini holds it: GBK text, or "enc:" + hex of UTF-8. The
  // object's request parameters are registered for <server>/rest/.
  static std::shared_ptr<CSubsonicServer> For(const std::string& server, const std::string& user,
                                              const std::string& storedPassword);
  // Forgets every server and its registration (tests, a settings reload).
  static void ForgetAll();
  // Forgets every server but this one (empty: all of them): credentials go
  // only to the selected engine's server.
  static void KeepOnly(const std::string& server);
  // The address as the object for it is known by: blanks and trailing "/" gone.
  static std::string BaseOf(const std::string& server);
  // url lies under <server>/rest/ (scheme and host in any case).
  static bool IsLinkOf(const std::string& url, const std::string& server);

  // "enc:" + hex, or GBK converted: the password as UTF-8 bytes.
  static std::string DecodePassword(const std::string& stored);
  // The "enc:" form of a UTF-8 password.
  static std::string EncodePassword(const std::string& utf8);
  // UTF-8 percent-encoding of a query value (unreserved characters kept).
  static std::string EscapeQuery(const std::string& utf8);

  const std::string& Base() const { return m_strBase; }
  // <base>/rest/download.view?id=<id>, without credentials.
  std::string DownloadLink(const std::string& id) const;

  // u, v, c and either t + s (fresh salt) or p, for one request. Asks the
  // server for its version first when it is not known yet.
  std::string AuthQuery();
  // <base>/rest/<method>?<query>&<credentials>&f=json, read and checked:
  // at most kMaxReplyBytes, no redirect followed (the answer must be the
  // server's own). A token refused with error 10 or 41 by this call switches
  // this server to the password form and the call is made once more; only
  // the ping and the search make calls, so nothing else can switch it.
  SubsonicReply Call(const std::string& method, const std::string& query,
                     const std::function<bool()>& cancelled);
  // ping.view: learns the version (and the password form when needed).
  // failure, when given, gets the reply of a ping that did not succeed.
  bool Ping(const std::function<bool()>& cancelled, SubsonicReply* failure = nullptr);

  static constexpr size_t kMaxReplyBytes = 1u << 20;

  bool UsesPasswordForm() const;
  std::string Version() const;

 private:
  explicit CSubsonicServer(std::string base);
  std::string AuthQueryWith(bool token, const std::string& version) const;
  SubsonicReply Fetch(const std::string& url, const std::function<bool()>& cancelled);

  const std::string m_strBase;
  mutable std::mutex m_lock;        // everything below
  std::string m_strUser;            // UTF-8
  std::string m_strPassword;        // UTF-8
  std::string m_strVersion;         // empty until the server said it
  bool m_bPasswordForm = false;
  bool m_bSwitchTold = false;       // the switch was reported
  std::mutex m_pingLock;            // one version question at a time
};
