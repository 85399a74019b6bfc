#pragma once
// Every user-visible text of the program, once. The source is UTF-8; the
// program stores and compares GBK, so callers take T(...) of a text.
#include <string>
#include "engine/Gbk.h"

inline std::string T(const char* utf8) { return Utf8ToGbk(utf8); }

#include "res/texts/EngineTexts.h"
#include "res/texts/TaskTexts.h"
#include "res/texts/CandidateTexts.h"
#include "res/texts/AudioTexts.h"
#include "res/texts/AppTexts.h"
#include "res/texts/CliTexts.h"
#include "res/texts/UiTexts.h"
#include "res/texts/BrowseTexts.h"
#include "res/texts/UpdateTexts.h"
