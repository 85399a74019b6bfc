#pragma once
// Engine objects report through plain function pointers with an opaque
// owner pointer first; a null callback is simply not called.
#include <string>

using ContentLengthCallback = void (*)(void* user, int length);
using ProgressCallback = void (*)(void* user, int received, int blockLength, int index);
using IndexCallback = void (*)(void* user, int index);
using MessageCallback = void (*)(void* user, const std::string& text, int index);
using JobCallback = void (*)(void* user);
