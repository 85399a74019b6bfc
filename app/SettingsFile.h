#pragma once
// MP3.ini's settings as a task sees them, read without an application: the
// application loads them this way, and so does the console's search, which
// must not take the program directory's lock.
#include <string>

#include "task/TaskHost.h"

// The settings of the file at iniPath over current: a value the file leaves
// empty keeps the one in current. Also sets the two socket time-outs and
// the network options.
TaskSettings ReadSettingsFile(const std::string& iniPath, const TaskSettings& current);
