#pragma once
// Everything the daily log received during a test.
#include <filesystem>
#include <string>

#include "tests/support/TempWorkDir.h"

inline std::string allLogs(const TempWorkDir& dir) {
  std::string log;
  if (!std::filesystem::exists(dir.logDir())) return log;
  for (const auto& entry : std::filesystem::directory_iterator(dir.logDir())) log += TempWorkDir::readFile(entry);
  return log;
}
