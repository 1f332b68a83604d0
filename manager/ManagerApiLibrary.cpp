#include "manager/ManagerApiLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

namespace {

constexpr const char* kLibraryName = MT_MANAGER_LIBRARY_NAME;
// The executable's directory and up to four levels above it.
constexpr int kSearchLevels = 5;
// A lookup's first buffer, and how many times it is asked again when more
// records match than fit (deals may be posted, accounts registered, between
// two asks).
constexpr uint32_t kFirstLookupCapacity = 64;
constexpr int kLookupAttempts = 4;

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Full path of the running executable; empty if it cannot be read. Paths are
// kept whole at any length: a cut path could name a different file.
std::string ownExecutablePath() {
  std::vector<char> buffer(512);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

template <typename Entry>
Entry lookUp(void* handle, const char* name) {
  return reinterpret_cast<Entry>(::dlsym(handle, name));
}

// Asks `ask(buffer, capacity, &total)` with a buffer grown to what matched
// until everything fits; records left empty on any failure.
template <typename Record, typename Ask>
MTAPIRES readAll(std::vector<Record>& records, Ask&& ask) {
  uint32_t capacity = kFirstLookupCapacity;
  try {
    for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
      records.resize(capacity);
      uint32_t total = 0;
      const MTAPIRES result = ask(records.data(), capacity, &total);
      if (result != mtret::Ok) {
        records.clear();
        return result;
      }
      if (total <= capacity) {
        records.resize(total);
        return mtret::Ok;
      }
      // Room for what matched now and for some added before the next ask.
      capacity = total + std::min(total / 4, UINT32_MAX - total);
    }
  } catch (const std::bad_alloc&) {
  }
  records.clear();
  return mtret::Error;
}

}  // namespace

void ManagerApiLibrary::Closer::operator()(void* handle) const { ::dlclose(handle); }

ManagerApiLibrary::ManagerApiLibrary(std::string executablePath) : executablePath_(std::move(executablePath)) {}

std::string ManagerApiLibrary::FindLibrary(const std::string& directory) const {
  if (!directory.empty()) {
    std::string candidate = directory + "/" + kLibraryName;
    if (exists(candidate)) return candidate;
  }
  std::string path = executablePath_.empty() ? ownExecutablePath() : executablePath_;
  for (int level = 0; level < kSearchLevels; ++level) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) break;
    path.erase(slash);  // "/a" leaves "", whose candidates are in the root
    std::string candidate = path + "/" + kLibraryName;
    if (exists(candidate)) return candidate;
    candidate = path + "/libs/" + kLibraryName;
    if (exists(candidate)) return candidate;
  }
  return kLibraryName;  // left to the system's library search
}

MTAPIRES ManagerApiLibrary::Load(const std::string& directory) {
  Unload();
  path_ = FindLibrary(directory);
  handle_.reset(::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!handle_) return mtret::NotFound;

  void* handle = handle_.get();
  version_ = lookUp<MTManagerVersion_t>(handle, "MTManagerVersion");
  createExt_ = lookUp<MTManagerCreateExt_t>(handle, "MTManagerCreateExt");
  if (!createExt_) create_ = lookUp<MTManagerCreate_t>(handle, "MTManagerCreate");
  adminCreateExt_ = lookUp<MTAdminCreateExt_t>(handle, "MTAdminCreateExt");
  if (!adminCreateExt_) adminCreate_ = lookUp<MTAdminCreate_t>(handle, "MTAdminCreate");
  dealRequest_ = lookUp<MTManagerDealRequest_t>(handle, "MTManagerDealRequest");
  serverTime_ = lookUp<MTManagerServerTime_t>(handle, "MTManagerServerTime");
  accountRequest_ = lookUp<MTManagerAccountRequest_t>(handle, "MTManagerAccountRequest");
  accountTimes_ = lookUp<MTManagerAccountTimes_t>(handle, "MTManagerAccountTimes");
  subscribe_ = lookUp<MTManagerSubscribe_t>(handle, "MTManagerSubscribe");
  unsubscribe_ = lookUp<MTManagerUnsubscribe_t>(handle, "MTManagerUnsubscribe");
  if (!subscribe_ || !unsubscribe_) subscribe_ = unsubscribe_ = nullptr;  // one without the other is of no use

  if (!version_ || !createExt_ || !adminCreateExt_) {
    Unload();
    return mtret::NotFound;
  }
  return mtret::Ok;
}

MTAPIRES ManagerApiLibrary::QueryVersion(uint32_t& version) const {
  if (!handle_ || !version_) return mtret::Error;
  return version_(&version);
}

MTAPIRES ManagerApiLibrary::NewManagerObject(uint32_t apiVersion, IMTManagerAPI** manager) const {
  if (!manager) return mtret::InvalidParams;
  if (!handle_ || (!createExt_ && !create_)) return mtret::Error;
  if (createExt_) return createExt_(apiVersion, nullptr, manager);
  return create_(apiVersion, manager);
}

void ManagerApiLibrary::Unload() {
  handle_.reset();
  version_ = nullptr;
  create_ = nullptr;
  adminCreate_ = nullptr;
  createExt_ = nullptr;
  adminCreateExt_ = nullptr;
  dealRequest_ = nullptr;
  serverTime_ = nullptr;
  accountRequest_ = nullptr;
  accountTimes_ = nullptr;
  subscribe_ = nullptr;
  unsubscribe_ = nullptr;
}

bool ManagerApiLibrary::HasDealRequest() const { return handle_ && dealRequest_; }

MTAPIRES ManagerApiLibrary::DealRequest(IMTManagerAPI* manager, uint64_t login, int64_t fromMs, int64_t toMs,
                                        std::vector<MTDealRecord>& deals) const {
  deals.clear();
  if (!HasDealRequest()) return mtret::Error;
  return readAll(deals, [&](MTDealRecord* buffer, uint32_t capacity, uint32_t* total) {
    return dealRequest_(manager, login, fromMs, toMs, buffer, capacity, total);
  });
}

bool ManagerApiLibrary::HasServerTime() const { return handle_ && serverTime_; }

MTAPIRES ManagerApiLibrary::ServerTime(IMTManagerAPI* manager, int64_t& nowMs) const {
  if (!HasServerTime()) return mtret::Error;
  return serverTime_(manager, &nowMs);
}

bool ManagerApiLibrary::HasAccountRequest() const { return handle_ && accountRequest_; }

MTAPIRES ManagerApiLibrary::AccountRequest(IMTManagerAPI* manager, int64_t fromMs, int64_t toMs,
                                           std::vector<MTAccountTimes>& accounts) const {
  accounts.clear();
  if (!HasAccountRequest()) return mtret::Error;
  return readAll(accounts, [&](MTAccountTimes* buffer, uint32_t capacity, uint32_t* total) {
    return accountRequest_(manager, fromMs, toMs, buffer, capacity, total);
  });
}

bool ManagerApiLibrary::HasAccountTimes() const { return handle_ && accountTimes_; }

MTAPIRES ManagerApiLibrary::AccountTimes(IMTManagerAPI* manager, uint64_t login, MTAccountTimes& times) const {
  if (!HasAccountTimes()) return mtret::Error;
  return accountTimes_(manager, login, &times);
}

bool ManagerApiLibrary::HasSessionSink() const { return handle_ && subscribe_; }

MTAPIRES ManagerApiLibrary::Subscribe(IMTManagerAPI* manager, IMTManagerSink* sink) const {
  if (!HasSessionSink()) return mtret::Error;
  return subscribe_(manager, sink);
}

MTAPIRES ManagerApiLibrary::Unsubscribe(IMTManagerAPI* manager, IMTManagerSink* sink) const {
  if (!HasSessionSink()) return mtret::Error;
  return unsubscribe_(manager, sink);
}
