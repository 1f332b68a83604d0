#pragma once
// UTF-8 and wide text (wchar_t holds one code point here). Malformed input
// becomes U+FFFD instead of being dropped or passed through.
#include <string>
#include <string_view>

namespace tradesim {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);
// A null pointer reads as the empty text.
std::string narrow(const wchar_t* wide);

}  // namespace tradesim
