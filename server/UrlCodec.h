#pragma once
// Percent coding and HTML escaping for the pages the server writes.
#include <string>
#include <string_view>

// Decodes every well-formed %XX; a stray "%" stays as it is. "+" becomes a
// blank only when asked (form-style query values).
std::string PercentDecode(std::string_view s, bool plusIsBlank);
// Escapes everything but unreserved characters and "/", so the result is
// safe inside a double-quoted attribute and a request line.
std::string PercentEncodePath(std::string_view bytes);
// Escapes every byte of 0x80 or more, blanks and the few characters that
// would end a query value; the way the program's client writes a search key.
std::string PercentEncodeQuery(std::string_view bytes);
std::string HtmlEscape(std::string_view s);
// The raw value of key in the query of a request target ("" when absent).
std::string RawQueryValue(std::string_view target, std::string_view key, bool* found = nullptr);
