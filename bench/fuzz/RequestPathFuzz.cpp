// libFuzzer target: any input text through parse, the four records and their
// replies. A broken reply or an escaping exception is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/fuzz/RequestPath.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    bench::runRequestPath(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "request path: %s\n", e.what());
    std::abort();
  }
  return 0;
}
