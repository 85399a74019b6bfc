#pragma once
// The tags around the audio of an MP3 file: ID3v2 before it; ID3v1, APEv2
// and Lyrics3 after it, in any order.
#include <cstddef>
#include <cstdint>

// Whole size of the ID3v2 tag starting at p (header, body and footer);
// 0 when p does not start one. Needs 10 bytes.
long long Id3v2TagSize(const uint8_t* p, size_t n);

// Bytes of tags at the end of a file of fileSize bytes, given its last
// tailSize bytes. Tags are peeled from the end while they are recognised
// and their marks lie within the tail.
long long EndTagsSize(const uint8_t* tail, size_t tailSize, long long fileSize);
