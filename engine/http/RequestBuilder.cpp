#include "engine/http/RequestBuilder.h"

#include "engine/http/Url.h"

bool RequestBuilder::Build(const RequestLines& in, std::string& out) {
  out.clear();
  out.reserve(512);
  out += "GET ";
  out += EscapeRequestTarget(in.target);
  out += " HTTP/1.1\r\nHost:";
  out += in.host;
  out += "\r\n";
  if (in.referer) {
    out += "Referer:";
    out += in.referer;
    out += "\r\n";
  }
  out += "Accept:*/*\r\n";
  out += "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
  out += "Connection:Keep-Alive\r\n";
  if (in.cookie) {
    out += "Set Cookie:0";
    out += in.cookie;
    out += "\r\n";
  }
  if (in.start > 0 || in.askFromZero) {
    out += "Range: bytes=";
    out += std::to_string(in.start);
    out += "-";
    if (in.end > in.start) out += std::to_string(in.end);
    out += "\r\n";
  }
  out += in.extraLines;
  out += "\r\n";
  // One byte of the room stays for the NUL the text is kept with.
  if (out.size() >= kMaxBytes) {
    out.clear();
    return false;
  }
  return true;
}
