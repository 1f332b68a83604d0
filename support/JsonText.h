#pragma once
// JSON values appended straight to a text, byte for byte as writeJson
// (JsonCpp's FastWriter) writes the same value, without building a
// Json::Value first. Used where a reply is written often.
#include <cstdint>
#include <string>
#include <string_view>

namespace jsontext {

// The text in quotes. '"', '\\', \b \f \n \r \t are escaped by name, other
// control characters and every character above U+007F as lowercase \u
// escapes (a surrogate pair above U+FFFF). Bytes are decoded as the writer
// decodes them: a lead byte takes the bytes its length claims without
// checking them, and a sequence that is overlong, a surrogate or cut off by
// the end of the text gives \ufffd.
void appendString(std::string& out, std::string_view text);

void appendInt(std::string& out, int64_t value);
void appendUInt(std::string& out, uint64_t value);

// %.17g with ".0" added when that shows neither '.' nor exponent; infinities
// as 1e+9999 and -1e+9999, NaN as null.
void appendDouble(std::string& out, double value);

}  // namespace jsontext
