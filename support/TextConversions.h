#pragma once
// Narrow to wide text for the Manager API.
#include <string>

// Decodes UTF-8, then replaces U+00A0 (no-break space) by a space and U+0456
// by Latin 'i'. Invalid or truncated UTF-8 prints "UTF8ToUnicode Exception\n"
// and gives an empty text: the whole text is dropped, not only the bad part.
std::wstring UTF8ToUnicode(const std::string& text);

// Replaces every occurrence of from in target by to, as if searching again
// from the start after each replacement. An empty from changes nothing; a to
// that contains from is replaced in one forward pass (no endless loop).
void ReplaceAll(std::wstring& target, std::wstring from, std::wstring to);

// Widens byte by byte (byte value = code point, no UTF-8 decoding) up to the
// first NUL byte; used for passwords and the server address. On lack of
// memory prints "stringToLPCWSTR Exception\n" and gives an empty text.
std::wstring stringToLPCWSTR(std::string text);
