#pragma once
// Finds, loads and unloads the Manager API library and holds its entry points.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "manager/ManagerApi.h"

class ManagerApiLibrary {
 public:
  // The search starts from the running executable's path.
  ManagerApiLibrary() = default;
  // The search starts from `executablePath` instead (tests lay out trees).
  explicit ManagerApiLibrary(std::string executablePath);
  ~ManagerApiLibrary() { Unload(); }

  ManagerApiLibrary(const ManagerApiLibrary&) = delete;
  ManagerApiLibrary& operator=(const ManagerApiLibrary&) = delete;

  // 0 when a usable library is loaded; 13 when none is found, it cannot be
  // loaded or it lacks a required entry point. An empty directory means none.
  MTAPIRES Load(const std::string& directory = std::string());
  // 2 when nothing is loaded or there is no version entry.
  MTAPIRES QueryVersion(uint32_t& version) const;
  // 3 without an out place, 2 without a library or create entry.
  MTAPIRES NewManagerObject(uint32_t apiVersion, IMTManagerAPI** manager) const;
  // Frees the library if one is loaded; safe to call any number of times.
  void Unload();

  // Whether the loaded library has the optional deal lookup.
  bool HasDealRequest() const;
  // All deals of `login` posted in [fromMs, toMs], oldest first, as seen by
  // `manager`'s session; the library's result otherwise (deals left empty).
  // 2 when the library has no deal lookup, or the deals keep outgrowing the
  // buffer while being read.
  MTAPIRES DealRequest(IMTManagerAPI* manager, uint64_t login, int64_t fromMs, int64_t toMs,
                       std::vector<MTDealRecord>& deals) const;

  // The other optional entry points, each 2 when the library lacks it.
  bool HasServerTime() const;
  // The trading server's clock, ms since the epoch, through `manager`'s session.
  MTAPIRES ServerTime(IMTManagerAPI* manager, int64_t& nowMs) const;
  bool HasAccountRequest() const;
  // All accounts registered in [fromMs, toMs], oldest first (then by login),
  // read as DealRequest reads deals (accounts left empty on failure).
  MTAPIRES AccountRequest(IMTManagerAPI* manager, int64_t fromMs, int64_t toMs,
                          std::vector<MTAccountTimes>& accounts) const;
  bool HasAccountTimes() const;
  // One account's times; 13 when there is no such account.
  MTAPIRES AccountTimes(IMTManagerAPI* manager, uint64_t login, MTAccountTimes& times) const;
  bool HasSessionSink() const;
  // Tells `sink` of `manager`'s session until unsubscribed.
  MTAPIRES Subscribe(IMTManagerAPI* manager, IMTManagerSink* sink) const;
  MTAPIRES Unsubscribe(IMTManagerAPI* manager, IMTManagerSink* sink) const;

  bool IsLoaded() const { return handle_ != nullptr; }
  // The path handed to the loader by the last Load (the bare file name when
  // the search found nothing).
  const std::string& LoadedPath() const { return path_; }
  void SetExecutablePath(std::string executablePath) { executablePath_ = std::move(executablePath); }

 private:
  struct Closer {
    void operator()(void* handle) const;
  };

  std::string FindLibrary(const std::string& directory) const;

  std::unique_ptr<void, Closer> handle_;
  MTManagerVersion_t version_ = nullptr;
  MTManagerCreate_t create_ = nullptr;
  MTAdminCreate_t adminCreate_ = nullptr;
  MTManagerCreateExt_t createExt_ = nullptr;
  MTAdminCreateExt_t adminCreateExt_ = nullptr;
  // Optional entry points.
  MTManagerDealRequest_t dealRequest_ = nullptr;
  MTManagerServerTime_t serverTime_ = nullptr;
  MTManagerAccountRequest_t accountRequest_ = nullptr;
  MTManagerAccountTimes_t accountTimes_ = nullptr;
  MTManagerSubscribe_t subscribe_ = nullptr;
  MTManagerUnsubscribe_t unsubscribe_ = nullptr;

  std::string executablePath_;  // empty: /proc/self/exe
  std::string path_;
};
