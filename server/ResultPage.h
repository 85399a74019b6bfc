#pragma once
// The HTML pages of the stand-in sites, written in UTF-8; the server turns
// them into GBK when it answers.
#include <string>
#include <vector>

#include "server/MirrorProfile.h"
#include "server/SongLibrary.h"

struct ResultSong {
  LibrarySong song;
  long long size = -1;  // bytes; -1 when unknown
};

// hostPort: "127.0.0.1:18317". cgi: "mp3.cgi". Every song gets one
// double-quoted link per listed mirror profile, one absolute link to
// /songs/ and one relative link, among ordinary links that do not end in
// the extension.
std::string BuildResultPage(const std::string& hostPort, const std::string& cgi, const std::string& keyUtf8,
                            bool keyGiven, const std::vector<ResultSong>& songs,
                            const std::vector<MirrorProfile>& profiles);
std::string BuildSongPage(const std::string& nameUtf8);
std::string BuildHomePage(const std::vector<LibrarySong>& songs);
std::string BuildMessagePage(const char* title, const char* text);
