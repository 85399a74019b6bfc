#include "task/ResultPageSearch.h"

#include <cctype>
#include <cstring>

#include "engine/BuiltinHost.h"
#include "engine/http/Url.h"
#include "res/Texts.h"
#include "task/RobotInternet.h"
#include "engine/TextRules.h"

namespace {

// A link with a scheme of its own ("http:", "ftp:") is taken as written.
bool HasScheme(const std::string& link) {
  if (link.empty() || !std::isalpha(static_cast<unsigned char>(link[0]))) return false;
  const size_t colon = link.find(':');
  const size_t stop = link.find_first_of("/?#");
  return colon != std::string::npos && (stop == std::string::npos || colon < stop);
}

}  // namespace

CResultPageSearch::CResultPageSearch(const TaskSettings& settings) : m_settings(settings) {}

SearchResult CResultPageSearch::Search(const std::string& name, const SearchHooks& hooks) {
  auto status = [&](const char* text) {
    if (hooks.status) hooks.status(T(text));
  };
  SearchResult result;
  std::string url = BuildSearchURL(name, m_settings);
  if (url.empty()) {
    result.m_outcome = SearchOutcome::kBadName;
    return result;
  }
  status(txt::kVisitingEngine);
  if (hooks.beforeFetch) url = hooks.beforeFetch(url);
  if (hooks.cancelled && hooks.cancelled()) return result;
  if (url.empty()) {
    result.m_outcome = SearchOutcome::kFailed;
    result.m_strMessage = T(txt::kBuiltinPortNotOurs);
    return result;
  }

  CRobotInternet robot;
  robot.m_fnCancel = hooks.cancelled;
  std::string page, error;
  int code = 0;
  if (!robot.GetPage(url, page, code, error)) return result;
  if (hooks.cancelled && hooks.cancelled()) return result;
  status(txt::kReadingAddresses);
  if (page.empty()) return result;
  result.m_links = ParseLinks(page, m_settings.m_strFileType,
                              robot.m_strEffectiveURL.empty() ? url : robot.m_strEffectiveURL);
  result.m_outcome = result.m_links.empty() ? SearchOutcome::kNoSong : SearchOutcome::kFound;
  return result;
}

std::string CResultPageSearch::BuildSearchURL(const std::string& name, const TaskSettings& settings) {
  // Characters that mean something in a query are escaped too, or the
  // engine would read another name ("C#" as "C", "a&b" as "a"). Blanks go
  // as they are; the fetcher writes them as %20.
  const std::string encoded = PercentEscape(name, [](unsigned char c) {
    static const char kQueryMarks[] = "%&+#?=;";
    return c >= 0x80 || (c != 0 && std::strchr(kQueryMarks, c) != nullptr);
  });
  if (!settings.m_strSearchHead.empty())
    return settings.m_strSearchHead + encoded + settings.m_strSearchTail;

  const char* path = nullptr;
  if (settings.m_strFileType == ".MP3") path = "/cgi-bin/music/mp3.cgi?_searchkey=";
  else if (settings.m_strFileType == ".WMA") path = "/cgi-bin/music/wma.cgi?_searchkey=";
  else if (settings.m_strFileType == ".RM") path = "/cgi-bin/music/rm.cgi?_searchkey=";
  if (!path) return encoded;
  return std::string("http://") + kBuiltinHost + path + encoded;
}

std::vector<std::string> CResultPageSearch::ParseLinks(const std::string& page,
                                                       const std::string& fileType,
                                                       const std::string& base) {
  std::vector<std::string> links;
  const std::string upper = AsciiUpper(page);
  const std::string wanted = AsciiUpper(fileType.empty() ? ".MP3" : fileType);

  // One position serves the upper-cased copy and the page: they are cut alike.
  const size_t n = upper.size();
  size_t pos = 0;
  auto skipBlanks = [&] {
    while (pos < n && IsWhiteSpace(upper[pos])) ++pos;
  };
  while (links.size() < static_cast<size_t>(kMaxLinks)) {
    const size_t a = upper.find("HREF", pos);
    if (a == std::string::npos) break;
    pos = a + 4;
    skipBlanks();
    if (pos >= n || upper[pos] != '=') continue;
    ++pos;
    skipBlanks();
    if (pos >= n || upper[pos] != '"') continue;
    ++pos;
    skipBlanks();
    const size_t q = upper.find('"', pos);
    if (q == std::string::npos) continue;
    size_t end = q;
    while (end > pos && IsWhiteSpace(upper[end - 1])) --end;
    const std::string linkUpper = upper.substr(pos, end - pos);
    const size_t d = linkUpper.rfind('.');
    if (d == std::string::npos || linkUpper.compare(d, std::string::npos, wanted) != 0) continue;

    std::string link = page.substr(pos, end - pos);
    // Result pages may link relative to themselves; a stored relative link
    // would fail every probe.
    if (!base.empty() && !HasScheme(link)) link = ResolveUrl(base, link);
    bool known = false;
    for (size_t i = 0; i < links.size() && !known; ++i) known = links[i] == link;
    if (!known) links.push_back(link);
  }
  return links;
}
