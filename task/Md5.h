#pragma once
// MD5 of a byte string, as 32 lower-case hex digits. Only for the token that
// music servers ask for; it protects nothing on its own.
#include <string>

std::string Md5Hex(const std::string& bytes);
