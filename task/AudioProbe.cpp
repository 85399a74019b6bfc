#include "task/AudioProbe.h"

#include <strings.h>

#include <cstdint>

#include "engine/http/HttpSocket.h"
#include "engine/http/RangeRead.h"
#include "engine/mp3/Mp3Head.h"

namespace {

Mp3Head HeadOf(const std::string& bytes, long long offset, long long length, bool atEnd) {
  return Mp3Head::Read(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), offset, length, atEnd);
}

}  // namespace

bool CAudioProbe::HeadEnough(const std::string& head) {
  const Mp3Head h = HeadOf(head, 0, -1, false);
  if (h.m_eState == Mp3Head::State::kNeedMore) return false;
  // A tag that ends within what the probe may read is read through.
  return h.m_eState != Mp3Head::State::kNeedRange ||
         h.m_nAudioStart >= static_cast<long long>(CHttpSocket::kProbeHeadMax);
}

AudioFacts CAudioProbe::FromBytes(const std::string& head, long long offset, long long length, bool atEnd) {
  AudioFacts a;
  const Mp3Head h = HeadOf(head, offset, length, atEnd);
  if (h.m_eState != Mp3Head::State::kKnown) return a;
  a.m_nKbps = h.m_nKbps;
  a.m_bVbr = h.m_bVbr;
  a.m_nSeconds = h.m_nSeconds;
  return a;
}

AudioFacts CAudioProbe::Read(CHttpSocket& socket, const std::string& url, long long length, bool ranges) {
  const std::string& head = socket.m_strProbeHead;
  const bool whole = length >= 0 && static_cast<long long>(head.size()) >= length;
  const Mp3Head h = HeadOf(head, 0, length, whole);
  if (h.m_eState != Mp3Head::State::kNeedRange || !ranges || (length >= 0 && h.m_nAudioStart >= length))
    return FromBytes(head, 0, length, whole);
  // The ranged read goes where the probe's answer came from.
  const std::string target = socket.m_strProbeTarget.empty() ? url : socket.m_strProbeTarget;
  std::string more;
  if (!ReadRange(socket, target, h.m_nAudioStart, kRangeBytes, more)) return {};
  const bool atEnd = length >= 0 && h.m_nAudioStart + static_cast<long long>(more.size()) >= length;
  return FromBytes(more, h.m_nAudioStart, length, atEnd);
}

bool ReadsAudio(const std::string& type) { return strcasecmp(type.c_str(), ".mp3") == 0; }
