#include "host/ExitToken.h"

#include <cstdlib>

uint64_t exitTokenValue(const std::string& token) {
  // strtoull has exactly these semantics in base 10 (and never reads hex).
  return std::strtoull(token.c_str(), nullptr, 10);
}

bool isExitToken(const std::string& token) { return exitTokenValue(token) == 1; }
