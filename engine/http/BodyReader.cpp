#include "engine/http/BodyReader.h"

#include <cerrno>

#include "engine/http/Connection.h"

BodyReader::BodyReader(CConnection& conn, const BodyFraming& framing, long long cap, size_t bufferSize)
    : m_conn(conn),
      m_framing(framing),
      m_left(framing.coding == BodyCoding::kIdentity ? framing.length : -1),
      m_cap(cap),
      m_buf(bufferSize) {
  if (m_framing.coding == BodyCoding::kChunked) m_framing.length = -1;
}

BodyReader::Got BodyReader::Next(size_t most, bool dontWait) {
  m_size = 0;
  m_raw = 0;
  if (m_ended || m_left == 0) {
    m_ended = true;
    return Got::kEnd;
  }
  if (m_cap >= 0 && m_total >= m_cap) return Got::kCapped;
  size_t want = most < m_buf.size() ? most : m_buf.size();
  if (m_left > 0 && static_cast<long long>(want) > m_left) want = static_cast<size_t>(m_left);
  if (m_cap >= 0 && static_cast<long long>(want) > m_cap - m_total) want = static_cast<size_t>(m_cap - m_total);
  ssize_t n;
  do n = m_conn.Recv(m_buf.data(), want, dontWait);
  while (n < 0 && errno == EINTR);
  if (n < 0 && dontWait && (errno == EAGAIN || errno == EWOULDBLOCK)) return Got::kWouldBlock;
  if (n == 0) return Got::kClosed;
  if (n < 0) return Got::kFailed;
  m_raw = static_cast<size_t>(n);
  m_total += n;
  if (m_framing.coding == BodyCoding::kChunked) {
    size_t used = 0, produced = 0;
    const ChunkedStatus st = m_decoder.Feed(m_buf.data(), m_raw, m_buf.data(), used, produced);
    if (st == ChunkedStatus::kError) return Got::kBadChunk;
    m_size = produced;
    m_ended = st == ChunkedStatus::kDone;
  } else {
    m_size = m_raw;
    if (m_left > 0) m_left -= n;
    m_ended = m_left == 0;
  }
  return Got::kData;
}
