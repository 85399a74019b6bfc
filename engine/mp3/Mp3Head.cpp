#include "engine/mp3/Mp3Head.h"

#include "engine/mp3/Mp3Sync.h"
#include "engine/mp3/Mp3Tags.h"
#include "engine/mp3/Mp3VbrHeader.h"

namespace {

int RoundedKbps(long long bytes, double seconds) {
  return seconds > 0 ? static_cast<int>(static_cast<double>(bytes) * 8 / seconds / 1000 + 0.5) : -1;
}

}  // namespace

Mp3Head Mp3Head::Read(const uint8_t* p, size_t n, long long offset, long long fileLength, bool atEnd) {
  Mp3Head h;
  size_t pos = 0;
  // Tags only where the file starts; a second one may follow the first.
  for (int tags = 0; offset == 0 && tags < 4; ++tags) {
    if (n - pos < 10) {
      if (atEnd) break;
      h.m_nAudioStart = static_cast<long long>(pos);
      return h;
    }
    const long long tag = Id3v2TagSize(p + pos, n - pos);
    if (tag == 0) break;
    if (static_cast<long long>(pos) + tag >= static_cast<long long>(n)) {
      h.m_eState = atEnd ? State::kNotMp3 : State::kNeedRange;
      h.m_nAudioStart = static_cast<long long>(pos) + tag;
      return h;
    }
    pos += static_cast<size_t>(tag);
  }
  size_t at = pos;
  Mp3Frame f;
  int freeLength = 0;
  const SyncResult r = Mp3Sync::Find(p, n, pos, atEnd, at, f, freeLength);
  if (r != SyncResult::kFound) {
    h.m_eState = atEnd ? State::kNotMp3 : State::kNeedMore;
    return h;
  }
  h.m_eState = State::kKnown;
  h.m_frame = f;
  h.m_nAudioStart = offset + static_cast<long long>(at);
  const long long audioBytes = fileLength > h.m_nAudioStart ? fileLength - h.m_nAudioStart : -1;
  int kbps = f.m_nKbps;
  if (f.FreeFormat()) {  // the rate that makes frames of the length found
    kbps = static_cast<int>(static_cast<long long>(freeLength) * f.m_nSampleRate * 8 / f.m_nSamples / 1000);
    f.m_nLength = freeLength;
  }
  const Mp3VbrHeader vbr = Mp3VbrHeader::Read(p + at, n - at, f);
  if (vbr.m_bFound && vbr.m_nFrames > 0 && f.m_nSampleRate > 0) {
    const double seconds = static_cast<double>(vbr.m_nFrames) * f.m_nSamples / f.m_nSampleRate;
    h.m_nSeconds = static_cast<int>(seconds + 0.5);
    if (vbr.m_bVbr) {
      const long long bytes = vbr.m_nBytes > 0 ? vbr.m_nBytes : audioBytes;
      h.m_bVbr = true;
      kbps = bytes > 0 ? RoundedKbps(bytes, seconds) : -1;
    }
  } else if (audioBytes > 0 && kbps > 0) {
    h.m_nSeconds = static_cast<int>(audioBytes * 8 / (static_cast<long long>(kbps) * 1000));
  }
  h.m_nKbps = kbps > 0 ? kbps : -1;
  return h;
}
