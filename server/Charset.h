#pragma once
// The server keeps UTF-8 internally (file names on disk) and speaks GBK on
// the wire, like the engine it stands in for.
#include <string>
#include <string_view>

// False when the input is not valid in the source encoding; out is then
// left empty.
bool ServerGbkToUtf8(std::string_view gbk, std::string& out);
bool ServerUtf8ToGbk(std::string_view utf8, std::string& out);
// Lossy form for page text: characters GBK cannot hold become "?".
std::string ServerUtf8ToGbkLossy(std::string_view utf8);
bool IsValidUtf8(std::string_view s);
