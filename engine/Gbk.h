#pragma once
// The one place where GBK meets UTF-8 (file names, Qt, the console).
#include <string>
#include <string_view>

// Invalid input bytes become "?" so a conversion never fails outright.
std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);
// Strict forms: false when the input holds a byte sequence that is not valid.
bool GbkToUtf8(std::string_view gbk, std::string& out);
bool Utf8ToGbk(std::string_view utf8, std::string& out);
// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view text);
// The longest prefix of at most maxBytes bytes that does not split a
// two-byte GBK character.
std::string CutGbk(std::string_view gbk, size_t maxBytes);
