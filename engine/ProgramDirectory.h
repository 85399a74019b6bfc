#pragma once
// Where the program keeps its files. Run from a build tree or dist/, the
// program directory is the executable's own. Installed, the executable's
// directory holds no MP3.ini and ../share/virelomp3/MP3.ini lies beside it;
// the program directory is then the user's data folder. The layout decides,
// not permissions: root can write into /usr/bin, but must not.
#include <string>

// Directory of the running executable without a trailing "/"; empty when
// the system does not say.
std::string GetExecutableDirectory();
// exeDir's "../share/virelomp3" when exeDir holds no MP3.ini and that folder
// does; empty otherwise (not installed).
std::string FindInstalledDataDirectory(const std::string& exeDir);
// $XDG_DATA_HOME/virelomp3 (an absolute XDG_DATA_HOME only), else
// ~/.local/share/virelomp3 with HOME, or the account's home when HOME is
// unset; empty when no home is known.
std::string GetUserProgramDirectory();
// The program directory of an executable in exeDir, VIRELOMP3_HOME aside.
std::string ProgramDirectoryFor(const std::string& exeDir);
// Where the shipped data lies (server-root/, the default MP3.ini): the
// installed data folder, else the executable's directory.
std::string GetDataDirectory();
