#pragma once
// Console output. Everything the service prints goes as narrow UTF-8 text
// through stdout, so lines and prompts keep their order; wide texts are
// converted with narrow() before printing.
#include <string>

// printf to stdout, flushed at once (a prompt without a line end is visible
// before input is read). One call's text is never interleaved with another
// thread's. Returns printf's result.
int consolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Wide text as UTF-8; a value that is no Unicode scalar value becomes U+FFFD.
std::string narrow(const std::wstring& text);
