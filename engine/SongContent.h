#pragma once
// Tells a song from the pages hosts and busy servers answer with instead.
// Plain functions with no socket behind them, so the probe, the block
// replies, the merge and the fuzz harnesses share one judgement.
#include <cstddef>
#include <string>

// What the first bytes of a body say about it.
enum class SongBytes {
  kSong,     // not markup: audio, or any other binary the user asked for
  kMarkup,   // an HTML/XML page: never kept as a song
  kUnknown,  // only blanks, a byte-order mark or the start of a marker so
             // far; more bytes decide (at the end of the body it is a song)
};

// True for a Content-Type that names text rather than a file to keep:
// text/*, application/json, application/xml and their "+json"/"+xml"
// kin. Parameters (";charset=...") and case are ignored; an empty value
// says nothing and is false.
bool IsTextContentType(const std::string& contentType);

// Judges the first n bytes of a body: after an optional UTF-8 byte-order
// mark and blanks, "<!DOCTYPE", "<html", "<head", "<body" or "<?xml" in any
// case is markup.
SongBytes JudgeFirstBytes(const char* data, size_t n);

// The one question the merge asks of a finished file: markup or not. Reads
// at most its first few kilobytes; a file that cannot be read is not judged
// markup (the merge has its own checks for that).
bool FileStartsWithMarkup(const std::string& path);
