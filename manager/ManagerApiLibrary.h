#pragma once
// Finds, loads and unloads the Manager API library and holds its entry points.
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
  MTManagerDealRequest_t dealRequest_ = nullptr;  // optional

  std::string executablePath_;  // empty: /proc/self/exe
  std::string path_;
};
