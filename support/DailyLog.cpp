#include "support/DailyLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace {

std::mutex& logMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

namespace dailylog_detail {

int vwriteLogAt(std::time_t now, const char* format, va_list args) {
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return -1;

  const char* dir = "../log";
  char amtime[200];
  std::snprintf(amtime, sizeof amtime, "%s/log-%04d-%02d-%02d.log", dir, local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday);

  // One writer at a time: two entries are never interleaved in one file.
  std::lock_guard<std::mutex> lock(logMutex());
  if (access(dir, F_OK) != 0) mkdir(dir, 0777);  // a failure shows in the open below

  std::FILE* file = std::fopen(amtime, "a");
  if (file == nullptr) return -1;
  int result = std::fprintf(file, "%04d-%02d-%02d %02d:%02d:%02d ", local.tm_year + 1900,
                            local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                            local.tm_sec);
  if (result >= 0) result = std::vfprintf(file, format, args);
  if (std::fflush(file) != 0) result = -1;
  if (std::fclose(file) != 0) result = -1;
  return result;
}

int writeLogAt(std::time_t now, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = vwriteLogAt(now, format, args);
  va_end(args);
  return result;
}

}  // namespace dailylog_detail

int writeLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = dailylog_detail::vwriteLogAt(std::time(nullptr), format, args);
  va_end(args);
  return result;
}
