#include "support/JsonText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace jsontext {
namespace {

constexpr unsigned kReplacement = 0xFFFD;

void appendUnicodeEscape(std::string& out, unsigned unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char escape[6] = {
      '\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF], kHex[(unit >> 4) & 0xF], kHex[unit & 0xF]};
  out.append(escape, sizeof escape);
}

// Written as it is: printable ASCII and DEL, but for the quote and backslash.
bool isPlain(unsigned char c) { return c >= 0x20 && c <= 0x7F && c != '"' && c != '\\'; }

// The character whose lead byte (0x80 or above) is at s, decoded the way the
// JsonCpp writer decodes it; s is left on the character's last byte.
unsigned decodeFrom(const unsigned char*& s, const unsigned char* end) {
  const unsigned lead = *s;
  const auto left = end - s;
  if (lead < 0xE0) {
    if (left < 2) return kReplacement;
    const unsigned decoded = ((lead & 0x1Fu) << 6) | (s[1] & 0x3Fu);
    s += 1;
    return decoded < 0x80 ? kReplacement : decoded;
  }
  if (lead < 0xF0) {
    if (left < 3) return kReplacement;
    const unsigned decoded = ((lead & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
    s += 2;
    if (decoded >= 0xD800 && decoded <= 0xDFFF) return kReplacement;
    return decoded < 0x800 ? kReplacement : decoded;
  }
  if (lead < 0xF8) {
    if (left < 4) return kReplacement;
    const unsigned decoded = ((lead & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
    s += 3;
    return decoded < 0x10000 ? kReplacement : decoded;
  }
  return kReplacement;
}

void appendCodePoint(std::string& out, unsigned codePoint) {
  if (codePoint < 0x10000) {
    appendUnicodeEscape(out, codePoint);
    return;
  }
  // The writer masks the halves, so even a decoded value above U+10FFFF
  // gives a pair.
  codePoint -= 0x10000;
  appendUnicodeEscape(out, 0xD800 + ((codePoint >> 10) & 0x3FF));
  appendUnicodeEscape(out, 0xDC00 + (codePoint & 0x3FF));
}

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace

void appendString(std::string& out, std::string_view text) {
  out += '"';
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = s + text.size();
  while (s != end) {
    const auto* const run = s;
    while (s != end && isPlain(*s)) ++s;
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(s - run));
    if (s == end) break;
    switch (*s) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (*s < 0x80) {
          appendUnicodeEscape(out, *s);  // the other control characters
        } else {
          appendCodePoint(out, decodeFrom(s, end));
        }
    }
    ++s;
  }
  out += '"';
}

void appendInt(std::string& out, int64_t value) { appendInteger(out, value); }

void appendUInt(std::string& out, uint64_t value) { appendInteger(out, value); }

void appendDouble(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "null";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-1e+9999" : "1e+9999";
    return;
  }
  // The writer's own routine: snprintf, a decimal comma of the locale
  // turned into a point, ".0" for what reads as an integer.
  char text[64];  // %.17g of a finite double takes at most 24 characters
  const int written = std::snprintf(text, sizeof text, "%.17g", value);
  const std::size_t length = written > 0 ? std::min(static_cast<std::size_t>(written), sizeof text - 1) : 0;
  bool readsAsReal = false;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == ',') text[i] = '.';
    if (text[i] == '.' || text[i] == 'e') readsAsReal = true;
  }
  out.append(text, length);
  if (!readsAsReal) out += ".0";
}

}  // namespace jsontext
