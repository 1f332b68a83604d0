#include "support/TextConversions.h"

#include <codecvt>
#include <cstring>
#include <exception>
#include <locale>
#include <stdexcept>

#include "support/Console.h"

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
using Utf8Converter = std::wstring_convert<std::codecvt_utf8<wchar_t>>;
#pragma GCC diagnostic pop

// One converter per thread, made once: making one allocates its facet (an
// account request decodes a dozen texts), and a converter keeps the count
// of its last call, so threads cannot share one. Each call starts from a
// fresh conversion state.
Utf8Converter& utf8Converter() {
  thread_local Utf8Converter converter;
  return converter;
}

}  // namespace

std::wstring UTF8ToUnicode(const std::string& text) {
  std::wstring result;
  if (text.empty()) return result;
  try {
    Utf8Converter& converter = utf8Converter();
    result = converter.from_bytes(text);
    // The library stops quietly at a sequence cut off at the end of the
    // text; that is as invalid as a bad byte.
    if (converter.converted() != text.size()) throw std::range_error("truncated UTF-8");
  } catch (const std::exception&) {
    consolePrint("%s", "UTF8ToUnicode Exception\n");
    result.clear();
  }
  ReplaceAll(result, L"\u00a0", L" ");
  ReplaceAll(result, L"\u0456", L"i");
  return result;
}

void ReplaceAll(std::wstring& target, std::wstring from, std::wstring to) {
  if (from.empty()) return;
  // Searching from the start after each replacement would loop for ever.
  const bool onePass = to.find(from) != std::wstring::npos;
  std::wstring::size_type pos = target.find(from);
  while (pos != std::wstring::npos) {
    target.replace(pos, from.size(), to);
    // Text before pos held no match, so a new match can start no earlier
    // than from.size() - 1 characters before the inserted text.
    const std::wstring::size_type back = from.size() - 1;
    const std::wstring::size_type next = onePass ? pos + to.size() : (pos > back ? pos - back : 0);
    pos = target.find(from, next);
  }
}

std::wstring stringToLPCWSTR(std::string text) {
  try {
    const std::size_t length = std::strlen(text.c_str());  // stops at the first NUL
    std::wstring result(length, L'\0');
    for (std::size_t i = 0; i < length; ++i) result[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    return result;
  } catch (const std::exception&) {
    consolePrint("%s", "stringToLPCWSTR Exception\n");
    return std::wstring();
  }
}
