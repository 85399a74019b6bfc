#pragma once
// Where the program's GBK bytes meet Qt's strings. Conversion goes through
// the core's converter so both sides agree on every byte.
#include <QIcon>
#include <QString>
#include <string>

#include "engine/Gbk.h"

inline QString QTxt(const char* utf8) { return QString::fromUtf8(utf8); }
inline QString QGbk(const std::string& gbk) { return QString::fromStdString(GbkToUtf8(gbk)); }
inline std::string GbkOf(const QString& s) { return Utf8ToGbk(s.toStdString()); }

// The program icon in its drawn sizes; loads the compiled-in images first.
QIcon AppIcon();
void InitUiResources();
