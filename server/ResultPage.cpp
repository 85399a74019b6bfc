#include "server/ResultPage.h"

#include <cstdio>

#include "engine/Gbk.h"
#include "server/PageTexts.h"
#include "server/UrlCodec.h"

namespace {

std::string Format(const char* format, long long n, const std::string& s) {
  // Both formats take an int and a text; sized generously for long keys.
  std::string out(s.size() + 256, '\0');
  int len = std::snprintf(out.data(), out.size(), format, static_cast<int>(n), s.c_str());
  out.resize(len > 0 ? static_cast<size_t>(len) : 0);
  return out;
}

std::string FormatOne(const char* format, const std::string& s) {
  std::string out(s.size() + 256, '\0');
  int len = std::snprintf(out.data(), out.size(), format, s.c_str());
  out.resize(len > 0 ? static_cast<size_t>(len) : 0);
  return out;
}

std::string SizeText(long long size) {
  if (size < 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(size) / 1048576.0);
  return buf;
}

std::string Head(const std::string& title) {
  return "<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\">\n<title>" +
         HtmlEscape(title) +
         "</title>\n<style>\nbody { font-family: sans-serif; margin: 12px; }\n"
         "th { background: #dde6f5; text-align: left; }\n"
         "td, th { padding: 3px 8px; }\n.foot { color: #777777; font-size: small; }\n</style>\n</head>\n<body>\n";
}

std::string NavBar() {
  return std::string("<p><b>") + pagetxt::kSiteName + "</b> &nbsp; <a href=\"/\">" + pagetxt::kHome +
         "</a> | <a href=\"/help.htm\">" + pagetxt::kHelp + "</a></p>\n";
}

std::string SearchForm(const std::string& cgi, const std::string& keyUtf8) {
  return "<form action=\"/cgi-bin/music/" + cgi + "\" method=\"get\">\n<input name=\"_searchkey\" value=\"" +
         HtmlEscape(keyUtf8) + "\" size=\"30\"> <input type=\"submit\" value=\"" + pagetxt::kSearchButton +
         "\">\n</form>\n";
}

std::string Tail() { return std::string("<p class=\"foot\">") + pagetxt::kFooter + "</p>\n</body>\n</html>\n"; }

// The "word=" address a category page would use for this name.
std::string WordLink(const std::string& nameUtf8) {
  return "/song?word=" + PercentEncodeQuery(Utf8ToGbk(nameUtf8));
}

}  // namespace

std::string BuildResultPage(const std::string& hostPort, const std::string& cgi, const std::string& keyUtf8,
                            bool keyGiven, const std::vector<ResultSong>& songs,
                            const std::vector<MirrorProfile>& profiles) {
  std::string page = Head(std::string(pagetxt::kSearchFor) + " - " + keyUtf8);
  page += NavBar();
  page += SearchForm(cgi, keyUtf8);
  bool emptyKey = !keyGiven || keyUtf8.find_first_not_of(" \t") == std::string::npos;
  if (emptyKey) {
    page += std::string("<p>") + pagetxt::kEmptyKey + "</p>\n";
    return page + Tail();
  }
  if (songs.empty()) {
    page += "<p>" + FormatOne(pagetxt::kNothingFound, HtmlEscape(keyUtf8)) + "</p>\n";
    return page + Tail();
  }
  page += "<p>" + Format(pagetxt::kFoundFormat, static_cast<long long>(songs.size()), HtmlEscape(keyUtf8)) +
          "</p>\n<table border=\"0\" cellspacing=\"0\">\n<tr><th>" + pagetxt::kColumnName + "</th><th>" +
          pagetxt::kColumnSize + "</th><th>" + pagetxt::kColumnLinks + "</th><th>" + pagetxt::kColumnMore +
          "</th></tr>\n";
  std::string base = "http://" + hostPort;
  for (const ResultSong& r : songs) {
    std::string path = PercentEncodePath(r.song.relativePath);
    page += "<tr><td>" + HtmlEscape(r.song.name) + "</td><td>" + SizeText(r.size) + "</td><td>\n";
    int n = 0;
    for (const MirrorProfile& p : profiles) {
      if (!p.listed) continue;
      page += "  <a href=\"" + base + "/mirror/" + p.name + "/" + path + "\">" + pagetxt::kMirror +
              std::to_string(++n) + "</a>\n";
    }
    page += "  <a href=\"" + base + "/songs/" + path + "\">" + pagetxt::kThisSite + "</a>\n";
    // Relative to /cgi-bin/music/, as a browser resolves it.
    page += "  <A HREF = \"../../songs/" + path + "\">" + pagetxt::kRelative + "</A>\n";
    // The links below lead to the same song but are not download links:
    // a query after the extension, single quotes, no quotes at all.
    page += "</td><td><a href=\"" + WordLink(r.song.name) + "\">" + pagetxt::kAbout + "</a>\n";
    page += "  <a href='/songs/" + path + "'>" + pagetxt::kListen + "</a>\n";
    page += "  <a href=\"/songs/" + path + "?play=1\">" + pagetxt::kPlay + "</a>\n";
    page += "  <a href=/songs/" + path + ">MP3</a></td></tr>\n";
  }
  page += "</table>\n";
  return page + Tail();
}

std::string BuildSongPage(const std::string& nameUtf8) {
  std::string page = Head(std::string(pagetxt::kSongTitle) + " - " + nameUtf8);
  page += NavBar();
  page += "<h2>" + HtmlEscape(nameUtf8) + "</h2>\n<p>" + pagetxt::kSongBody + "</p>\n";
  page += "<p><a href=\"/cgi-bin/music/mp3.cgi?_searchkey=" +
          HtmlEscape(PercentEncodeQuery(Utf8ToGbk(nameUtf8))) + "\">" + pagetxt::kSearchThis +
          "</a></p>\n";
  return page + Tail();
}

std::string BuildHomePage(const std::vector<LibrarySong>& songs) {
  std::string page = Head(pagetxt::kSiteName);
  page += NavBar();
  page += std::string("<p>") + pagetxt::kHomeIntro + "</p>\n";
  page += SearchForm("mp3.cgi", "");
  page += std::string("<h3>") + pagetxt::kAllSongs + "</h3>\n<ul>\n";
  for (const LibrarySong& s : songs) {
    page += "<li><a href=\"" + WordLink(s.name) + "\">" + HtmlEscape(s.name) + "</a></li>\n";
  }
  page += "</ul>\n";
  return page + Tail();
}

std::string BuildMessagePage(const char* title, const char* text) {
  return Head(title) + NavBar() + "<p>" + text + "</p>\n" + Tail();
}
