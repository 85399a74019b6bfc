#pragma once
// Engine objects report through plain function pointers with an opaque
// owner pointer first; a null callback is simply not called.
#include <string>

using ContentLengthCallback = void (*)(void* user, int length);
using ProgressCallback = void (*)(void* user, int received, int blockLength, int index);
using IndexCallback = void (*)(void* user, int index);
using MessageCallback = void (*)(void* user, const std::string& text, int index);
using JobCallback = void (*)(void* user);
// Judges a finished file at path before it takes the target's name: a
// texts key (res/Texts.h) when it must not, nullptr when it may.
using FileCheck = const char* (*)(const std::string& path);
