#pragma once
// Makes the per-user program directory of an installed program ready before
// anything reads or locks it.
#include <string>

// The version this build was made as (the project version in CMake).
extern const char kBuildVersion[];
// The file in the program directory recording what seeding copied.
extern const char kSeedRecordName[];

// When the program runs installed and VIRELOMP3_HOME is unset: creates the
// program directory and seeds it from the data folder (SeedProgramDirectory).
// True when there was nothing to do or the directory is ready.
bool PrepareProgramDirectory();

// Copies MP3.ini, Movie.ini, html/ and banners/ from dataDir into home
// wherever home has no file of that name yet, and records what it copied;
// a seeded file the user has not changed since is replaced by a newer
// shipped one (a user's edits and MP3.ini are never overwritten). Creates
// home's "已下载", and sets MP3.ini's [Update] Version
// to version when it says otherwise: an upgraded package would otherwise
// start the updater at every launch. False when home cannot be made.
bool SeedProgramDirectory(const std::string& dataDir, const std::string& home, const std::string& version);
