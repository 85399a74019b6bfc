#include "engine/http/BlockReplyCheck.h"

#include "engine/SongContent.h"

BlockReplyVerdict CheckBlockReply(const Reply& reply, long long requestStart, long long fileLength) {
  BlockReplyVerdict v;
  v.status = reply.Status();
  ContentRange range;
  const bool ranged = reply.Range(range);
  // Only a body that starts at the byte we asked for may reach the block file.
  const bool fits = requestStart > 0 ? ranged && range.first == requestStart
                                     : v.status == 200 || (ranged && range.first == 0);
  if (!fits) return v;
  // Another total means another file: no later attempt can mend a split
  // made for the old one.
  if (ranged && fileLength > 0 && range.total >= 0 && range.total != fileLength) {
    v.kind = BlockReplyVerdict::kFileChanged;
    return v;
  }
  v.framing.coding = reply.Coding();
  if (v.framing.coding == BodyCoding::kUnsupported) {
    v.kind = BlockReplyVerdict::kUnsupported;
    return v;
  }
  if (v.framing.coding == BodyCoding::kIdentity) {
    const long long n = reply.ContentLength();
    if (n == Reply::kUnreadable) return v;
    if (n >= 0) {
      // A 200 is the whole file and a 206 exactly its range: a body of any
      // other length is not the bytes we asked for (a busy page, say).
      if (v.status == 200 && fileLength > 0 && n != fileLength) return v;
      if (ranged && n != range.last - range.first + 1) return v;
      v.framing.length = n;
    }
  }
  // A text label does not refuse the reply: the file's first bytes decide.
  v.textLabel = IsTextContentType(reply.Value("Content-Type"));
  v.kind = BlockReplyVerdict::kFits;
  return v;
}
