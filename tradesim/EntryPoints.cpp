// The library's exported entry points. The loader-test variants build this
// file with TRADESIM_API_VERSION, TRADESIM_NO_ADMIN_EXT, TRADESIM_PLAIN_ONLY
// or TRADESIM_NO_DEAL_REQUEST.
#include <new>

#include "manager/ManagerApi.h"
#include "tradesim/ManagerObject.h"

#ifndef TRADESIM_API_VERSION
#define TRADESIM_API_VERSION 2280
#endif

#define TRADESIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

MTAPIRES createManager(uint32_t apiVersion, IMTManagerAPI** manager) {
  if (!manager) return mtret::InvalidParams;
  *manager = nullptr;
  // A caller written against a newer interface than this library has.
  if (apiVersion > TRADESIM_API_VERSION) return mtret::InvalidParams;
  try {
    *manager = new tradesim::ManagerObject();
    return mtret::Ok;
  } catch (...) {
    return mtret::Error;
  }
}

// This library has no administrator interface.
MTAPIRES createAdmin(void** admin) {
  if (admin) *admin = nullptr;
  return mtret::Error;
}

}  // namespace

TRADESIM_EXPORT MTAPIRES MTManagerVersion(uint32_t* version) {
  if (!version) return mtret::InvalidParams;
  *version = TRADESIM_API_VERSION;
  return mtret::Ok;
}

TRADESIM_EXPORT MTAPIRES MTManagerCreate(uint32_t apiVersion, IMTManagerAPI** manager) {
  return createManager(apiVersion, manager);
}

TRADESIM_EXPORT MTAPIRES MTAdminCreate(uint32_t /*apiVersion*/, void** admin) { return createAdmin(admin); }

#ifndef TRADESIM_PLAIN_ONLY
TRADESIM_EXPORT MTAPIRES MTManagerCreateExt(uint32_t apiVersion, void* /*reserved*/, IMTManagerAPI** manager) {
  return createManager(apiVersion, manager);
}
#endif

#if !defined(TRADESIM_PLAIN_ONLY) && !defined(TRADESIM_NO_ADMIN_EXT)
TRADESIM_EXPORT MTAPIRES MTAdminCreateExt(uint32_t /*apiVersion*/, void* /*reserved*/, void** admin) {
  return createAdmin(admin);
}
#endif

#ifndef TRADESIM_NO_DEAL_REQUEST
TRADESIM_EXPORT MTAPIRES MTManagerDealRequest(IMTManagerAPI* manager, uint64_t login, int64_t fromMs, int64_t toMs,
                                              MTDealRecord* deals, uint32_t capacity, uint32_t* total) {
  // Only objects of this library have the lookup; anything else is refused.
  auto* own = dynamic_cast<tradesim::ManagerObject*>(manager);
  if (!own) return mtret::InvalidParams;
  return own->DealRequest(login, fromMs, toMs, deals, capacity, total);
}
#endif
