#include "support/PasswordMask.h"

#include <cstddef>
#include <string_view>

#include "support/JsonText.h"

namespace {

constexpr std::string_view kMask = "\"***\"";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Skips blanks and comments of both forms from pos; returns the next position.
std::size_t skipGap(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    if (isBlank(text[pos])) {
      ++pos;
    } else if (text.compare(pos, 2, "/*") == 0) {
      const std::size_t end = text.find("*/", pos + 2);
      pos = end == std::string_view::npos ? text.size() : end + 2;
    } else if (text.compare(pos, 2, "//") == 0) {
      const std::size_t end = text.find('\n', pos + 2);
      pos = end == std::string_view::npos ? text.size() : end + 1;
    } else {
      break;
    }
  }
  return pos;
}

// pos is at an opening quote; returns the position after the closing quote,
// or the text's end when there is none (closed then becomes false).
std::size_t skipString(std::string_view text, std::size_t pos, bool* closed = nullptr) {
  for (++pos; pos < text.size(); ++pos) {
    if (text[pos] == '\\') {
      ++pos;
    } else if (text[pos] == '"') {
      if (closed != nullptr) *closed = true;
      return pos + 1;
    }
  }
  if (closed != nullptr) *closed = false;
  return text.size();
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The key between the quotes with its escapes resolved, as far as a
// password key can be spelt (ASCII); anything else yields "" (no match).
std::string decodeKey(std::string_view raw) {
  std::string key;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      key += raw[i];
      continue;
    }
    if (++i >= raw.size()) return "";
    if (raw[i] == 'u' && i + 4 < raw.size()) {
      int code = 0;
      for (std::size_t k = 1; k <= 4; ++k) {
        const int digit = hexValue(raw[i + k]);
        if (digit < 0) return "";
        code = code * 16 + digit;
      }
      if (code >= 0x80) return "";
      key += static_cast<char>(code);
      i += 4;
    } else if (raw[i] == '"' || raw[i] == '\\' || raw[i] == '/') {
      key += raw[i];
    } else {
      return "";
    }
  }
  return key;
}

bool isPasswordName(std::string_view key) {
  return key == "masterPass" || key == "investorPass" || key == "newPass" || key == "password";
}

// Every string of the text comes here, values too: one without escapes is
// its own key and needs no decoded copy.
bool isPasswordKey(std::string_view raw) {
  if (raw.find('\\') == std::string_view::npos) return isPasswordName(raw);
  return isPasswordName(decodeKey(raw));
}

// pos is at the first character of a value; returns the position after it.
// Arrays and objects run to their matching bracket, strings to their closing
// quote, other tokens to the next delimiter; truncated values to the end.
std::size_t skipValue(std::string_view text, std::size_t pos) {
  const char first = text[pos];
  if (first == '"') return skipString(text, pos);
  if (first == '{' || first == '[') {
    std::size_t depth = 0;
    while (pos < text.size()) {
      const char c = text[pos];
      if (c == '"') {
        pos = skipString(text, pos);
        continue;
      }
      if (c == '/' && (text.compare(pos, 2, "/*") == 0 || text.compare(pos, 2, "//") == 0)) {
        pos = skipGap(text, pos);
        continue;
      }
      if (c == '{' || c == '[') ++depth;
      if ((c == '}' || c == ']') && --depth == 0) return pos + 1;
      ++pos;
    }
    return text.size();
  }
  while (pos < text.size() && !isBlank(text[pos]) && text[pos] != ',' && text[pos] != '}' && text[pos] != ']' &&
         text[pos] != '/')
    ++pos;
  return pos;
}

}  // namespace

namespace {

// Walks the text as maskPasswords reads it and hands each password member's
// value to `replace`, which appends what takes its place.
template <typename Replace>
std::string rewritePasswords(std::string_view text, Replace&& replace) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '/' && (text.compare(pos, 2, "/*") == 0 || text.compare(pos, 2, "//") == 0)) {
      const std::size_t end = skipGap(text, pos);
      out.append(text.substr(pos, end - pos));
      pos = end;
      continue;
    }
    if (c != '"') {
      out += c;
      ++pos;
      continue;
    }
    const std::size_t start = pos;
    bool closed = false;
    pos = skipString(text, start, &closed);
    out.append(text.substr(start, pos - start));
    if (!closed) continue;
    const std::string_view rawKey = text.substr(start + 1, pos - start - 2);
    if (!isPasswordKey(rawKey)) continue;
    // A key: its value after the colon, keeping the gaps around it.
    const std::size_t colon = skipGap(text, pos);
    if (colon >= text.size() || text[colon] != ':') continue;
    const std::size_t valueStart = skipGap(text, colon + 1);
    if (valueStart >= text.size()) continue;
    const std::size_t valueEnd = skipValue(text, valueStart);
    if (valueEnd == valueStart) continue;
    const std::string_view value = text.substr(valueStart, valueEnd - valueStart);
    if (value == "null") continue;
    out.append(text.substr(pos, valueStart - pos));
    const std::string key = rawKey.find('\\') == std::string_view::npos ? std::string(rawKey) : decodeKey(rawKey);
    replace(out, key, value);
    pos = valueEnd;
  }
  return out;
}

}  // namespace

std::string maskPasswords(const std::string& jsonText) {
  return rewritePasswords(jsonText, [](std::string& out, const std::string&, std::string_view) { out.append(kMask); });
}

std::string restorePasswords(const std::string& maskedReply, const Json::Value& request) {
  return rewritePasswords(maskedReply, [&](std::string& out, const std::string& key, std::string_view value) {
    if (value != kMask || !request.isObject()) {
      out.append(value);  // not masked: it stays as it is
      return;
    }
    jsontext::appendString(out, request.get(key, Json::Value()).asString());
  });
}
