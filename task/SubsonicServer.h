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
  // <base>/rest/<method>?<query>&<credentials>&f=json, read and checked.
  // A token refused with error 10 or 41 switches this server to the
  // password form for good and the call is made once more.
  SubsonicReply Call(const std::string& method, const std::string& query,
                     const std::function<bool()>& cancelled);
  // ping.view: learns the version (and the password form when needed).
  bool Ping(const std::function<bool()>& cancelled);

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
  std::mutex m_pingLock;            // one version question at a time
};
