#pragma once
// Judges a finished file at path before it takes the target's name: a
// texts key (res/Texts.h) when it must not, nullptr when it may.
#include <string>

using FileCheck = const char* (*)(const std::string& path);
