#include "engine/mp3/Mp3Walker.h"

#include "engine/mp3/Mp3Sync.h"
#include "engine/mp3/Mp3Tags.h"
#include "engine/mp3/Mp3VbrHeader.h"

namespace {

// Enough to take back every frame that could lie inside the end tags the
// tail can show.
constexpr long long kRecentSpan = 80 * 1024;

}  // namespace

void CMp3Walker::CountFrame(long long offset, int length) {
  ++m_nFrames;
  m_nFrameBytes += length;
  if (++m_nRun > m_nLongestRun) m_nLongestRun = m_nRun;
  m_recent.emplace_back(offset, length);
  while (!m_recent.empty() && m_recent.front().first < offset - kRecentSpan) m_recent.pop_front();
}

void CMp3Walker::Lock(const uint8_t* p, size_t n, const Mp3Frame& f) {
  m_bSynced = true;
  m_stream = f;
  m_nRun = 0;
  if (!m_bFirstFrame) return;
  m_bFirstFrame = false;
  const Mp3VbrHeader vbr = Mp3VbrHeader::Read(p, n, f);
  if (vbr.m_bFound) {
    m_bDeclaredInFrame = true;
    m_nDeclared = vbr.m_nFrames;
  }
}

size_t CMp3Walker::Walk(const uint8_t* p, size_t n, bool atEnd) {
  if (m_bFree) {  // never refused: the rest need not be looked at
    m_nOffset += static_cast<long long>(n);
    return n;
  }
  size_t i = 0;
  while (i < n) {
    if (m_nSkip > 0) {
      const size_t take = static_cast<size_t>(std::min<long long>(m_nSkip, static_cast<long long>(n - i)));
      i += take;
      m_nSkip -= static_cast<long long>(take);
      continue;
    }
    // An ID3v2 tag where a frame could start: at the start, or between frames.
    if (p[i] == 'I' && (m_bSynced || m_nFrames == 0)) {
      if (n - i < 10 && !atEnd) break;
      if (const long long tag = Id3v2TagSize(p + i, n - i)) {
        m_nTagBytes += tag;
        m_nSkip = tag;
        m_bSynced = false;
        continue;
      }
    }
    if (m_bSynced) {
      if (n - i < 4 && !atEnd) break;
      Mp3Frame f;
      if (Mp3Frame::Parse(p + i, n - i, f) && f.SameStream(m_stream)) {
        const size_t len = static_cast<size_t>(f.m_nLength);
        if (i + len <= n) {
          CountFrame(m_nOffset + static_cast<long long>(i), f.m_nLength);
          i += len;
          continue;
        }
        if (!atEnd) break;  // the rest of the frame comes with the next bytes
      }
      m_bSynced = false;  // junk, or a frame cut short by the file's end
      m_nRun = 0;
    }
    size_t at = i;
    Mp3Frame f;
    int freeLength = 0;
    const SyncResult r = Mp3Sync::Find(p, n, i, atEnd, at, f, freeLength);
    i = at;
    if (r != SyncResult::kFound) break;
    if (f.FreeFormat()) {
      m_bFree = true;
      m_nOffset += static_cast<long long>(n);
      return n;
    }
    Lock(p + i, n - i, f);
  }
  m_nOffset += static_cast<long long>(i);
  return i;
}

Mp3Verdict CMp3Walker::Finish(const uint8_t* tail, size_t tailSize, long long fileSize) {
  if (m_bFree) return Mp3Verdict::kWhole;
  const long long endTags = EndTagsSize(tail, tailSize, fileSize);
  const long long tagStart = fileSize - endTags;
  // A chance match inside a tag is no frame of the song.
  for (const auto& [offset, length] : m_recent) {
    if (offset + length <= tagStart) continue;
    --m_nFrames;
    m_nFrameBytes -= length;
  }
  m_recent.clear();
  m_nRegion = fileSize - endTags - m_nTagBytes;
  if (m_nLongestRun < kMinRun || m_nFrames <= 0 || m_nRegion <= 0) return Mp3Verdict::kNoFrames;
  if (static_cast<double>(m_nFrameBytes) < kMinCover * static_cast<double>(m_nRegion)) return Mp3Verdict::kSparse;
  const long long audio = m_nFrames - (m_bDeclaredInFrame ? 1 : 0);
  if (m_nDeclared > 0 && static_cast<double>(m_nDeclared) > (1.0 + kMaxMissing) * static_cast<double>(audio))
    return Mp3Verdict::kCutShort;
  return Mp3Verdict::kWhole;
}
