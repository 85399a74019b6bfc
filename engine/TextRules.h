#pragma once
// The small text rules the program applies in many places, one function a
// rule. Texts are GBK or ASCII bytes: only ASCII letters, digits and white
// space are ever judged, so a GBK byte is never a letter or a blank here,
// whatever the process locale says.
#include <string>
#include <string_view>

// Space, tab, CR, LF, VT and FF: what typed text, INI lines and pages pad with.
inline constexpr std::string_view kWhiteSpaceChars = " \t\r\n\v\f";
bool IsWhiteSpace(char c);
// Space and tab only: the optional white space inside an HTTP header line.
bool IsSpaceOrTab(char c);

// The text without the bytes of `chars` at either end.
std::string_view TrimChars(std::string_view text, std::string_view chars);
// The text without white space (IsWhiteSpace) at either end.
std::string TrimWhiteSpace(std::string_view text);
// The text without spaces and tabs (IsSpaceOrTab) at either end.
std::string TrimSpacesAndTabs(std::string_view text);

// A-Z turned to a-z; every other byte stays.
std::string AsciiLower(std::string_view text);
// a-z turned to A-Z; every other byte stays.
std::string AsciiUpper(std::string_view text);
// True when both have the same length and differ only in ASCII letter case.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);
// True when text begins with prefix, ASCII letter case aside.
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);
// True when text ends with tail, byte for byte.
bool EndsWith(std::string_view text, std::string_view tail);

// Letters, digits and "-._~": the bytes an address never needs to escape.
bool IsUnreservedUrlByte(unsigned char c);
// Every byte `escape` picks written as %XX in upper-case hex, the rest as
// they are. Each caller's rule of what to escape is its own; the writing
// is one.
std::string PercentEscape(std::string_view text, bool (*escape)(unsigned char c));

// The decimal digits at the start of a header value; no sign and no blanks
// are read, no digits give 0, and a value too big for long long gives
// LLONG_MAX so a huge length is still seen as huge.
long long LeadingDigits(std::string_view text);
// The C library's text-to-int rule: white space, one sign, then digits;
// the magnitude stops at INT_MAX; no digits give 0.
int LeadingInt(std::string_view text);
