#pragma once
// The daily log: one file per local calendar day under "../log" (relative to
// the working directory), one timestamped entry per call.
#include <cstdarg>
#include <ctime>
#include <string>

// Appends "YYYY-MM-DD hh:mm:ss " and the formatted message to
// ../log/log-YYYY-MM-DD.log; the caller ends the message with "\n". Creates
// the directory (one level) when missing. The day's file stays open between
// calls; each entry is handed to the kernel with write(2) before the call
// returns (no fsync), so it is in the file when the call returns. A file moved
// or deleted meanwhile is created again by the next entry. Safe to call from
// several threads: entries never interleave. Returns the number of characters
// the message produced, or a negative value when the entry could not be
// formatted or written (it is then dropped).
int writeLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One line (without its newline) on the console and in the daily log.
void tellLine(const std::string& line);

namespace dailylog_detail {
// writeLog with the clock reading given; for tests of the date handling.
int writeLogAt(std::time_t now, const char* format, ...) __attribute__((format(printf, 2, 3)));
int vwriteLogAt(std::time_t now, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
}  // namespace dailylog_detail
