#pragma once
// Why a probe gave the answer it gave, so the task can tell a link that did
// not answer from one that answered with something other than a song.
enum class ProbeVerdict {
  kAnswered,  // a usable answer (ProbeSpeed returned true)
  kFailed,    // no usable answer: connect, send, header, redirect or an error status
  kNotASong,  // it answered with a page (by Content-Type or first bytes)
  kBusy,      // 503 or 429: ask again later; the reply's header stays readable
};
