#pragma once
// The manager object: one connection to the trading-server store, opened on
// first use, its session, and the library thread that tells the session's
// sinks and feeds attached deal sinks.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "manager/ManagerApi.h"
#include "tradesim/DealWatcher.h"
#include "tradesim/LibraryThread.h"
#include "tradesim/Session.h"
#include "tradesim/Store.h"

namespace tradesim {

class ManagerObject final : public IMTManagerAPI {
 public:
  // Reads TRADESIM_DB and TRADESIM_JOURNAL once, here.
  ManagerObject();

  void Release() override;

  MTAPIRES OpenSession(const wchar_t* server, uint64_t login, const wchar_t* password, uint64_t option1,
                       uint64_t option2, uint64_t option3, uint32_t timeoutMs) override;
  MTAPIRES WriteJournal(uint32_t type, const wchar_t* format, ...) override;

  MTAPIRES AttachDealSink(IMTDealSink* sink) override;
  MTAPIRES DetachDealSink(IMTDealSink* sink) override;

  IMTUser* NewUserRecord() override;
  MTAPIRES AddAccount(IMTUser* user, const wchar_t* masterPassword, const wchar_t* investorPassword) override;
  MTAPIRES LoadAccount(uint64_t login, IMTUser* user) override;
  MTAPIRES SaveAccount(IMTUser* user) override;
  MTAPIRES VerifyPassword(uint32_t kind, uint64_t login, const wchar_t* password) override;
  MTAPIRES SetPassword(uint32_t kind, uint64_t login, const wchar_t* password) override;
  MTAPIRES PostBalanceDeal(uint64_t login, double amount, uint32_t action, const wchar_t* comment,
                           uint64_t* dealId) override;

  // What the optional entry points call ("MTManagerDealRequest" and the
  // others): they are not part of the interface, whose layout stays as older
  // callers know it.
  MTAPIRES DealRequest(uint64_t login, int64_t fromMs, int64_t toMs, MTDealRecord* deals, uint32_t capacity,
                       uint32_t* total);
  MTAPIRES ServerTime(int64_t* nowMs);
  MTAPIRES AccountRequest(int64_t fromMs, int64_t toMs, MTAccountTimes* accounts, uint32_t capacity, uint32_t* total);
  MTAPIRES AccountTimes(uint64_t login, MTAccountTimes* times);
  MTAPIRES Subscribe(IMTManagerSink* sink);
  MTAPIRES Unsubscribe(IMTManagerSink* sink);

 private:
  ~ManagerObject();

  // The store, opened on first use; null when the database cannot be opened.
  Store* store();
  // What an armed fault makes of one call.
  struct FaultPlan {
    bool delayed = false;             // slept before acting
    std::optional<MTAPIRES> instead;  // end without effect, with this result
    uint32_t delayAfterMs = 0;        // sleep between acting and returning
    std::optional<MTAPIRES> after;    // act, then return this instead of the result
  };

  // Runs an operation: server and session check, armed fault, then body
  // (given the store, and the session's manager login when it takes one),
  // with any store failure reported as Error.
  template <typename Body>
  MTAPIRES operation(const char* name, Body&& body);
  // Takes the operation's armed fault, if the check found one, and sleeps
  // its delay before acting.
  FaultPlan takeFault(Store& store, const Store::CallCheck& check, const char* name);
  // Whether the server still serves the session a call began with, read
  // again after a delay; the session is dropped when it does not.
  bool stillServed(Store& store, const Session::Login& login);
  void drop(const Session::Login& login);

  const std::string databasePath_;
  const std::string journalPath_;
  std::mutex storeMutex_;
  std::unique_ptr<Store> store_;
  // The deals this object posts are recorded under the session's manager.
  Session session_;
  DealWatcher deals_;
  LibraryThread thread_;  // last: stopped before the others go
};

}  // namespace tradesim
