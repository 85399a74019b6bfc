#include "task/SubsonicServer.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <random>
#include <vector>

#include "engine/Gbk.h"
#include "engine/TextRules.h"
#include "engine/http/RequestAuth.h"
#include "res/Texts.h"
#include "task/Md5.h"
#include "task/RobotInternet.h"

namespace {

// Old enough that no server refuses it; only asked with before the server
// has told us its own.
constexpr char kFirstVersion[] = "1.1.0";
constexpr char kClientName[] = "virelomp3";

std::mutex g_serversLock;
std::map<std::string, std::shared_ptr<CSubsonicServer>>& Servers() {
  static std::map<std::string, std::shared_ptr<CSubsonicServer>> servers;
  return servers;
}

std::string TrimBase(std::string server) {
  while (!server.empty() && (server.back() == '/' || server.back() == ' ')) server.pop_back();
  while (!server.empty() && server.front() == ' ') server.erase(0, 1);
  return server;
}

std::string AsUtf8(const std::string& gbk) {
  std::string out;
  // A file edited in UTF-8 by hand is taken as it is rather than mangled.
  if (!GbkToUtf8(gbk, out)) return gbk;
  return out;
}

std::string RandomSalt() {
  static const char kHex[] = "0123456789abcdef";
  thread_local std::mt19937_64 gen{std::random_device{}()};
  std::string s;
  for (int i = 0; i < 16; ++i) s += kHex[gen() & 15];
  return s;
}

}  // namespace

CSubsonicServer::CSubsonicServer(std::string base) : m_strBase(std::move(base)) {}

std::shared_ptr<CSubsonicServer> CSubsonicServer::For(const std::string& server,
                                                      const std::string& user,
                                                      const std::string& storedPassword) {
  const std::string base = TrimBase(server);
  std::shared_ptr<CSubsonicServer> s;
  bool fresh = false;
  {
    std::lock_guard<std::mutex> g(g_serversLock);
    auto& all = Servers();
    auto it = all.find(base);
    if (it == all.end()) {
      it = all.emplace(base, std::shared_ptr<CSubsonicServer>(new CSubsonicServer(base))).first;
      fresh = true;
    }
    s = it->second;
  }
  {
    std::lock_guard<std::mutex> g(s->m_lock);
    const std::string u = AsUtf8(user), p = DecodePassword(storedPassword);
    if (u != s->m_strUser || p != s->m_strPassword) {
      // New credentials may meet another account's rules: ask again.
      s->m_strUser = u;
      s->m_strPassword = p;
      s->m_bPasswordForm = false;
    }
  }
  if (fresh) {
    std::weak_ptr<CSubsonicServer> weak = s;
    CRequestAuth::Register(base + "/rest/", [weak] {
      const auto self = weak.lock();
      return self ? self->AuthQuery() : std::string();
    });
  }
  return s;
}

void CSubsonicServer::ForgetAll() {
  std::map<std::string, std::shared_ptr<CSubsonicServer>> gone;
  {
    std::lock_guard<std::mutex> g(g_serversLock);
    gone.swap(Servers());
  }
  for (const auto& kv : gone) CRequestAuth::Unregister(kv.first + "/rest/");
}

void CSubsonicServer::KeepOnly(const std::string& server) {
  const std::string keep = TrimBase(server);
  std::vector<std::string> gone;
  {
    std::lock_guard<std::mutex> g(g_serversLock);
    auto& all = Servers();
    for (auto it = all.begin(); it != all.end();) {
      if (it->first == keep) {
        ++it;
        continue;
      }
      gone.push_back(it->first);
      it = all.erase(it);
    }
  }
  for (const std::string& base : gone) CRequestAuth::Unregister(base + "/rest/");
}

std::string CSubsonicServer::BaseOf(const std::string& server) { return TrimBase(server); }

bool CSubsonicServer::IsLinkOf(const std::string& url, const std::string& server) {
  const std::string prefix = TrimBase(server) + "/rest/";
  if (prefix.size() <= 6 || url.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(url[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

std::string CSubsonicServer::DecodePassword(const std::string& stored) {
  if (stored.compare(0, 4, "enc:") != 0) return AsUtf8(stored);
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 4; i + 1 < stored.size(); i += 2) {
    const int hi = nibble(stored[i]), lo = nibble(stored[i + 1]);
    // Not hex after all: a password that happens to begin with "enc:".
    if (hi < 0 || lo < 0) return AsUtf8(stored);
    out += static_cast<char>(hi << 4 | lo);
  }
  if ((stored.size() - 4) % 2 != 0) return AsUtf8(stored);
  return out;
}

std::string CSubsonicServer::EncodePassword(const std::string& utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "enc:";
  for (unsigned char c : utf8) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string CSubsonicServer::EscapeQuery(const std::string& utf8) {
  return PercentEscape(utf8, [](unsigned char c) { return !IsUnreservedUrlByte(c); });
}

std::string CSubsonicServer::DownloadLink(const std::string& id) const {
  return m_strBase + "/rest/download.view?id=" + EscapeQuery(id);
}

bool CSubsonicServer::UsesPasswordForm() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_bPasswordForm;
}

std::string CSubsonicServer::Version() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_strVersion;
}

std::string CSubsonicServer::AuthQueryWith(bool token, const std::string& version) const {
  std::string user, password;
  {
    std::lock_guard<std::mutex> g(m_lock);
    user = m_strUser;
    password = m_strPassword;
  }
  std::string q = "u=" + EscapeQuery(user) + "&v=" + EscapeQuery(version) + "&c=" + kClientName;
  if (token) {
    const std::string salt = RandomSalt();
    q += "&t=" + Md5Hex(password + salt) + "&s=" + EscapeQuery(salt);
  } else {
    q += "&p=" + EncodePassword(password);
  }
  return q;
}

std::string CSubsonicServer::AuthQuery() {
  if (Version().empty()) Ping(nullptr);
  std::string version;
  bool token;
  {
    std::lock_guard<std::mutex> g(m_lock);
    version = m_strVersion.empty() ? kFirstVersion : m_strVersion;
    token = !m_bPasswordForm;
  }
  return AuthQueryWith(token, version);
}

bool CSubsonicServer::Ping(const std::function<bool()>& cancelled, SubsonicReply* failure) {
  std::lock_guard<std::mutex> one(m_pingLock);
  // Someone else may have asked while we waited.
  if (!Version().empty()) return true;
  SubsonicReply r = Call("ping.view", "", cancelled);
  const bool ok = r.m_state == SubsonicReply::State::kOk || !Version().empty();
  if (failure) *failure = std::move(r);
  return ok;
}

SubsonicReply CSubsonicServer::Call(const std::string& method, const std::string& query,
                                    const std::function<bool()>& cancelled) {
  SubsonicReply reply;
  bool switched = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string version;
    bool token;
    {
      std::lock_guard<std::mutex> g(m_lock);
      version = m_strVersion.empty() ? kFirstVersion : m_strVersion;
      token = !m_bPasswordForm;
    }
    const std::string url = m_strBase + "/rest/" + method + "?" + (query.empty() ? "" : query + "&") +
                            AuthQueryWith(token, version) + "&f=json";
    reply = Fetch(url, cancelled);
    if (reply.m_state != SubsonicReply::State::kFailed) break;
    // Older servers and directory-backed accounts know no token.
    if (!token || (reply.m_nCode != 10 && reply.m_nCode != 41)) break;
    bool tell;
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_bPasswordForm = true;
      tell = !m_bSwitchTold;
      m_bSwitchTold = true;
    }
    switched = switched || tell;
    // The password form travels readable: whoever runs us should know.
    if (tell) std::fprintf(stderr, "%s\n", txt::kTokenFallback);
  }
  reply.m_bSwitchedToPassword = switched;
  return reply;
}

SubsonicReply CSubsonicServer::Fetch(const std::string& url, const std::function<bool()>& cancelled) {
  SubsonicReply reply;
  CRobotInternet robot;
  robot.m_fnCancel = cancelled;
  // The address holds the credentials: an https server keeps them encrypted.
  robot.m_bCarriesCredentials = true;
  robot.m_nMaxBytes = kMaxReplyBytes;
  robot.m_bFollowRedirects = false;
  std::string page, error;
  int code = 0;
  const bool read = robot.GetPage(url, page, code, error);
  if (robot.m_bTooLarge) {
    reply.m_state = SubsonicReply::State::kFailed;
    reply.m_strMessage = txt::kReplyTooLarge;
    return reply;
  }
  if (!read || page.empty()) return reply;
  reply.m_state = SubsonicReply::State::kBadReply;
  CJsonValue doc;
  CJsonValue::Error why = CJsonValue::Error::kNone;
  if (!CJsonValue::Parse(page, doc, &why)) {
    if (why == CJsonValue::Error::kTooMany) {
      reply.m_state = SubsonicReply::State::kFailed;
      reply.m_strMessage = txt::kReplyTooManyValues;
    }
    return reply;
  }
  page.clear();
  page.shrink_to_fit();
  const CJsonValue* found = doc.Find("subsonic-response");
  if (!found || !found->IsObject()) return reply;
  reply.m_body = doc.TakeMember("subsonic-response");
  const CJsonValue* body = &reply.m_body;
  const CJsonValue* version = body->Find("version");
  if (version && !version->Text().empty()) {
    std::lock_guard<std::mutex> g(m_lock);
    m_strVersion = version->Text();
  }
  const CJsonValue* status = body->Find("status");
  const std::string state = status ? status->Text() : std::string();
  if (state == "ok") {
    reply.m_state = SubsonicReply::State::kOk;
    return reply;
  }
  if (state != "failed") return reply;
  reply.m_state = SubsonicReply::State::kFailed;
  if (const CJsonValue* err = body->Find("error")) {
    if (const CJsonValue* c = err->Find("code")) reply.m_nCode = std::atoi(c->Text().c_str());
    if (const CJsonValue* m = err->Find("message")) reply.m_strMessage = m->Text();
  }
  return reply;
}
