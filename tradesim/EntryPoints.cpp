// The library's exported entry points. The loader-test variants build this
// file with TRADESIM_API_VERSION, TRADESIM_NO_ADMIN_EXT, TRADESIM_PLAIN_ONLY
// or TRADESIM_NO_DEAL_REQUEST.
#include <new>
#include <type_traits>

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

// Only objects of this library have the optional lookups; anything else
// (null included) is refused.
tradesim::ManagerObject* ownObject(IMTManagerAPI* manager) { return dynamic_cast<tradesim::ManagerObject*>(manager); }

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
  auto* own = ownObject(manager);
  return own ? own->DealRequest(login, fromMs, toMs, deals, capacity, total) : mtret::InvalidParams;
}
static_assert(std::is_same_v<decltype(&MTManagerDealRequest), MTManagerDealRequest_t>);
#endif

TRADESIM_EXPORT MTAPIRES MTManagerServerTime(IMTManagerAPI* manager, int64_t* nowMs) {
  auto* own = ownObject(manager);
  return own ? own->ServerTime(nowMs) : mtret::InvalidParams;
}

TRADESIM_EXPORT MTAPIRES MTManagerAccountRequest(IMTManagerAPI* manager, int64_t fromMs, int64_t toMs,
                                                 MTAccountTimes* accounts, uint32_t capacity, uint32_t* total) {
  auto* own = ownObject(manager);
  return own ? own->AccountRequest(fromMs, toMs, accounts, capacity, total) : mtret::InvalidParams;
}

TRADESIM_EXPORT MTAPIRES MTManagerAccountTimes(IMTManagerAPI* manager, uint64_t login, MTAccountTimes* times) {
  auto* own = ownObject(manager);
  return own ? own->AccountTimes(login, times) : mtret::InvalidParams;
}

TRADESIM_EXPORT MTAPIRES MTManagerSubscribe(IMTManagerAPI* manager, IMTManagerSink* sink) {
  auto* own = ownObject(manager);
  return own ? own->Subscribe(sink) : mtret::InvalidParams;
}

TRADESIM_EXPORT MTAPIRES MTManagerUnsubscribe(IMTManagerAPI* manager, IMTManagerSink* sink) {
  auto* own = ownObject(manager);
  return own ? own->Unsubscribe(sink) : mtret::InvalidParams;
}

// The optional entry points match the types callers look them up as.
static_assert(std::is_same_v<decltype(&MTManagerServerTime), MTManagerServerTime_t>);
static_assert(std::is_same_v<decltype(&MTManagerAccountRequest), MTManagerAccountRequest_t>);
static_assert(std::is_same_v<decltype(&MTManagerAccountTimes), MTManagerAccountTimes_t>);
static_assert(std::is_same_v<decltype(&MTManagerSubscribe), MTManagerSubscribe_t>);
static_assert(std::is_same_v<decltype(&MTManagerUnsubscribe), MTManagerUnsubscribe_t>);
