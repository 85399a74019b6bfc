#include "engine/http/BodySniff.h"

#include "engine/Common.h"
#include "engine/http/BodyReader.h"
#include "engine/http/Connection.h"

SongBytes CBodySniff::Read(CConnection& conn, const BodyFraming& framing, bool labelledText, size_t most,
                           long long deadline, const std::function<bool(const std::string&)>& enough,
                           std::string& body) {
  body.clear();
  if (framing.coding == BodyCoding::kUnsupported || framing.length == 0) return SongBytes::kUnknown;
  BodyReader reader(conn, framing, static_cast<long long>(most), 1024);
  for (;;) {
    const long long wait = deadline - GetTickMs();
    if (wait <= 0) break;
    if (!conn.WaitReadable(static_cast<int>(wait))) break;
    const BodyReader::Got got = reader.Next(1024, true);
    if (got == BodyReader::Got::kWouldBlock) continue;
    if (got != BodyReader::Got::kData) break;
    body.append(reader.Data(), reader.Size());
    const SongBytes j = JudgeBody(body.data(), body.size(), labelledText);
    if (j == SongBytes::kMarkup || (j == SongBytes::kSong && (!enough || enough(body)))) return j;
    if (reader.Ended()) break;
  }
  return JudgeBody(body.data(), body.size(), labelledText);
}
