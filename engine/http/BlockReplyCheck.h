#pragma once
// Everything a block's reply has to pass before one body byte is stored:
// it starts at the byte asked for, it is the same file, its coding is one
// we read, and its length is the one its status promises.
#include "engine/http/Reply.h"

struct BlockReplyVerdict {
  enum Kind {
    kFits,
    kMismatch,     // not the bytes asked for ("reply mismatch" with the status)
    kFileChanged,  // a 206 names another total: the file on the server changed
    kUnsupported,  // a coding we do not read
  };
  Kind kind = kMismatch;
  int status = 0;
  BodyFraming framing;     // how the body comes, when it fits
  bool textLabel = false;  // labelled text: only an audio signature lets it in
};

// requestStart: the first byte asked for (0: no Range line, or from 0).
// fileLength: the file's length as the job agreed it; 0 when unknown.
BlockReplyVerdict CheckBlockReply(const Reply& reply, long long requestStart, long long fileLength);
