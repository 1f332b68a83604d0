// A caller of the library in a process of its own, for tests that kill the
// caller inside a call: loads LIBRARY, logs in and posts one balance deal.
// Usage: tradesim_post_helper LIBRARY SERVER MANAGER PASSWORD LOGIN AMOUNT
// Prints "result=N deal=ID"; exit status 0 when the call returned at all.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "manager/ManagerApi.h"

namespace {

std::wstring widened(const char* text) {
  std::wstring wide;
  for (; *text; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s LIBRARY SERVER MANAGER PASSWORD LOGIN AMOUNT\n", argv[0]);
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "dlopen failed: %s\n", dlerror());
    return 1;
  }
  auto create = reinterpret_cast<MTManagerCreateExt_t>(dlsym(library, "MTManagerCreateExt"));
  IMTManagerAPI* manager = nullptr;
  if (!create || create(MTManagerAPIVersion, nullptr, &manager) != mtret::Ok) return 1;
  const MTAPIRES opened = manager->OpenSession(widened(argv[2]).c_str(), std::strtoull(argv[3], nullptr, 10),
                                               widened(argv[4]).c_str(), 0, 0, 0, 30000);
  if (opened != mtret::Ok) {
    std::fprintf(stderr, "OpenSession failed: %u\n", opened);
    return 1;
  }
  uint64_t deal = 0;
  const MTAPIRES posted = manager->PostBalanceDeal(std::strtoull(argv[5], nullptr, 10), std::strtod(argv[6], nullptr),
                                                   MT_DEAL_BALANCE, L"", &deal);
  std::printf("result=%u deal=%llu\n", posted, static_cast<unsigned long long>(deal));
  manager->Release();
  dlclose(library);
  return 0;
}
