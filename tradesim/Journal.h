#pragma once
// The server journal: one line per entry,
// "YYYY-MM-DD HH:MM:SS.mmm\t<type>\t<text>\n", UTF-8, appended under an
// exclusive file lock so that writers in any thread or process never
// interleave.
#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>

#include "manager/ResultCodes.h"

namespace tradesim {

int64_t nowEpochMs();
// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string localTimestamp(int64_t epochMs);

// $TRADESIM_JOURNAL, else the database path with ".journal" appended.
std::string journalPathFor(const std::string& databasePath);

// Rewrites a format in which "%s" and "%c" take wide arguments (and "%hs",
// "%S" narrow ones) into the standard wide-printf form. Empty for a format
// that ends inside a conversion or asks for "%n" (a journal line writes no
// memory of the caller's).
std::optional<std::wstring> toStandardWideFormat(const wchar_t* format);

// Formats the entry text; InvalidParams for a null or unusable format.
MTAPIRES formatJournalText(const wchar_t* format, va_list args, std::string& text);

// Appends one line; control characters in text become blanks so that an
// entry always stays on one line.
MTAPIRES appendJournalLine(const std::string& path, uint32_t type, const std::string& text);

}  // namespace tradesim
