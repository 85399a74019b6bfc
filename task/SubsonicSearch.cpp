#include "task/SubsonicSearch.h"

#include <cctype>

#include "engine/Gbk.h"
#include "engine/TextRules.h"
#include "res/Texts.h"
#include "task/SubsonicServer.h"

CSubsonicSearch::CSubsonicSearch(const TaskSettings& settings)
    : m_settings(settings),
      m_server(CSubsonicServer::For(settings.m_strServer, settings.m_strUser,
                                    settings.m_strPassword)) {}

std::string CSubsonicSearch::SuffixOf(const std::string& fileType) {
  std::string s = fileType.empty() ? ".MP3" : fileType;
  if (s[0] == '.') s.erase(0, 1);
  return AsciiLower(s);
}

AudioFacts CSubsonicSearch::AudioOf(const CJsonValue& song, const std::string& suffix) {
  AudioFacts a;
  // Shown as the server says them; a server that says nothing leaves the
  // probe's reading.
  auto number = [&](const char* key) {
    const CJsonValue* v = song.Find(key);
    const std::string t = v ? v->Text() : std::string();
    if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoi(t);
  };
  const int kbps = number("bitRate");
  if (kbps > 0) a.m_nKbps = kbps;
  a.m_nSeconds = number("duration");
  a.m_strSuffix = suffix;
  return a;
}

void CSubsonicSearch::TellSwitch(const SubsonicReply& reply, const SearchHooks& hooks) {
  if (reply.m_bSwitchedToPassword && hooks.status) hooks.status(T(txt::kTokenFallback));
}

void CSubsonicSearch::Fail(const SubsonicReply& reply, SearchResult& result) {
  result.m_outcome = SearchOutcome::kFailed;
  std::string gbk;
  // Cut to what a text can hold: the task's column is 150 bytes.
  if (Utf8ToGbk(reply.m_strMessage, gbk)) result.m_strMessage = CutGbk(gbk, 100);
}

SearchResult CSubsonicSearch::Search(const std::string& name, const SearchHooks& hooks) {
  SearchResult result;
  std::string utf8;
  // The API speaks UTF-8; a name that is not GBK cannot be asked for.
  if (name.empty() || !GbkToUtf8(name, utf8)) {
    result.m_outcome = SearchOutcome::kBadName;
    return result;
  }
  if (hooks.status) hooks.status(T(txt::kVisitingEngine));
  SubsonicReply pong;
  const bool answered = m_server->Ping(hooks.cancelled, &pong);
  TellSwitch(pong, hooks);
  if (!answered) {
    if (pong.m_state == SubsonicReply::State::kFailed) Fail(pong, result);
    return result;
  }
  const std::string query = "query=" + CSubsonicServer::EscapeQuery(utf8) +
                            "&songCount=" + std::to_string(kSongCount) +
                            "&artistCount=0&albumCount=0";
  const SubsonicReply reply = m_server->Call("search3.view", query, hooks.cancelled);
  TellSwitch(reply, hooks);
  if (reply.m_state == SubsonicReply::State::kUnreachable) return result;
  if (hooks.status) hooks.status(T(txt::kReadingAddresses));
  if (reply.m_state == SubsonicReply::State::kFailed) {
    Fail(reply, result);
    return result;
  }
  if (reply.m_state != SubsonicReply::State::kOk) {
    result.m_outcome = SearchOutcome::kFailed;
    return result;
  }
  const std::string wanted = SuffixOf(m_settings.m_strFileType);
  const CJsonValue* found = reply.m_body.Find("searchResult3");
  const CJsonValue* songs = found ? found->Find("song") : nullptr;
  if (songs) {
    for (const CJsonValue* song : songs->Items()) {
      const CJsonValue* id = song->Find("id");
      const CJsonValue* suffix = song->Find("suffix");
      if (!id || id->Text().empty() || !suffix) continue;
      if (AsciiLower(suffix->Text()) != wanted) continue;
      const std::string link = m_server->DownloadLink(id->Text());
      bool known = false;
      for (const std::string& l : result.m_links) known = known || l == link;
      if (!known) {
        result.m_links.push_back(link);
        result.m_audio.push_back(AudioOf(*song, suffix->Text()));
      }
      if (result.m_links.size() == static_cast<size_t>(kMaxLinks)) break;
    }
  }
  result.m_outcome = result.m_links.empty() ? SearchOutcome::kNoSong : SearchOutcome::kFound;
  return result;
}
