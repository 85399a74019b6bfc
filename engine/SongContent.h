#pragma once
// Tells a song from the pages hosts and busy servers answer with instead.
// Plain functions with no socket behind them, so the probe, the block
// replies, the merge and the fuzz harnesses share one judgement.
#include <cstddef>
#include <string>

// What the first bytes of a body say about it.
enum class SongBytes {
  kSong,     // not markup: audio, or any other binary the user asked for
  kMarkup,   // an HTML/XML page, or a body labelled text without an audio
             // signature: never kept as a song
  kUnknown,  // only blanks, a byte-order mark or the start of a marker so
             // far; more bytes decide (at the end of the body it is a song)
};

// The one rule for a Content-Type that names text rather than a file to
// keep: text/*, application/json, application/xml and their "+json"/"+xml"
// kin. Parameters (";charset=...") and case are ignored; an empty value
// says nothing and is false. Many download scripts label every answer
// text/html, so such a label only means the first bytes must prove a song.
bool IsTextContentType(const std::string& contentType);

// For a body labelled text: kSong when its first bytes carry an audio
// signature (an ID3v2 header; an MPEG audio frame header with version,
// layer, bitrate and sample rate not reserved, followed by a second one at
// the frame length it gives; the WMA or RM header), kUnknown while too few
// bytes have come to tell, else kMarkup. A UTF-16 byte-order mark is not a
// frame sync.
SongBytes JudgeLabelledText(const char* data, size_t n);

// The judgement of a body's first bytes under its label: JudgeLabelledText
// for a text label, else JudgeFirstBytes.
SongBytes JudgeBody(const char* data, size_t n, bool labelledText);

// Judges the first n bytes of a body: after an optional UTF-8 byte-order
// mark and blanks, "<!DOCTYPE", "<html", "<head", "<body" or "<?xml" in any
// case is markup.
SongBytes JudgeFirstBytes(const char* data, size_t n);

// The one question the merge asks of a finished file: markup or not. Reads
// at most its first few kilobytes; a file that cannot be read is not judged
// markup (the merge has its own checks for that).
bool FileStartsWithMarkup(const std::string& path);
