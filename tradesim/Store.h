#pragma once
// The trading server's state in one SQLite database: its address, managers,
// accounts, deals, deal events and armed faults. Shared by the library and
// the tradesim command. Safe to use from several threads (one connection
// behind a mutex) and from several processes (WAL, busy time-out, every
// change in one immediate transaction).
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manager/ResultCodes.h"
#include "support/Sqlite.h"
#include "tradesim/Records.h"

namespace tradesim {

// Where the database lives: $TRADESIM_DB, else "tradesim.db".
std::string databasePathFromEnvironment();

// Opens the database (creating it when create is set) the way the store
// uses it: every commit reaches the disk unless TRADESIM_SYNC=normal trades
// that (survives a crash of the process, not of the machine) for speed.
std::unique_ptr<sqlite::Connection> openDatabase(const std::string& path, bool create);

// Operations whose calls can be made to fail or stall.
bool isFaultOperation(std::string_view operation);
const std::vector<std::string>& faultOperations();

class Store {
 public:
  // Opens an existing, initialised database; throws sqlite::Error otherwise.
  explicit Store(const std::string& path);
  // Creates a new database answering to serverAddress, with one manager.
  // Refuses an existing file unless force is set (then it is replaced).
  static std::unique_ptr<Store> initialize(const std::string& path, std::string_view serverAddress,
                                           uint64_t managerLogin, std::string_view managerPassword, bool force);

  const std::string& path() const { return path_; }

  std::string serverAddress();
  ServerState serverState();
  // Stops or starts the server (a start counts up its run); false when it
  // already was in that state.
  bool setServerRunning(bool running);
  // AccountExists when the login is taken, InvalidParams for login 0.
  MTAPIRES addManager(uint64_t login, std::string_view password);
  // NotFound for a login that is no manager's.
  MTAPIRES setManagerPassword(uint64_t login, std::string_view password);
  // Ok, ManagerUnknown or AuthFailed.
  MTAPIRES checkManager(uint64_t login, std::string_view password);
  bool hasManager(uint64_t login);

  // Login 0 takes the next free login and writes it back into the record,
  // with the registration time (now) the store gives it.
  MTAPIRES addAccount(AccountRecord& account, std::string_view masterPassword, std::string_view investorPassword);
  MTAPIRES loadAccount(uint64_t login, AccountRecord& account);
  // Updates every attribute but passwords, balance and credit.
  MTAPIRES saveAccount(const AccountRecord& account);
  std::vector<AccountRecord> listAccounts();
  MTAPIRES verifyPassword(uint32_t kind, uint64_t login, std::string_view password);
  // Also records when that kind of password changed.
  MTAPIRES setPassword(uint32_t kind, uint64_t login, std::string_view password);
  // The accounts registered in [fromMs, toMs], oldest first, then by login.
  std::vector<AccountTimesRecord> accountsRegisteredBetween(int64_t fromMs, int64_t toMs);
  MTAPIRES accountTimes(uint64_t login, AccountTimesRecord& times);

  // Inserts the deal, moves balance or credit and records the event, all in
  // one transaction. manager is the login of the session that posts it (0:
  // the server's own console). RequestDone with dealId set on success.
  MTAPIRES postBalanceDeal(uint64_t login, Money amount, uint32_t action, std::string_view comment, uint64_t manager,
                           uint64_t& dealId);
  // Changes a deal; the account moves by the difference in amount.
  MTAPIRES updateDeal(uint64_t id, std::optional<Money> amount, std::optional<std::string> comment);
  // Removes a deal and takes its amount back off the account.
  MTAPIRES deleteDeal(uint64_t id);
  std::vector<DealRecord> listDeals(std::optional<uint64_t> login);
  // The deals of login posted in [fromMs, toMs], oldest first.
  std::vector<DealRecord> dealsBetween(uint64_t login, int64_t fromMs, int64_t toMs);

  int64_t lastEventSeq();
  std::vector<DealEvent> eventsAfter(int64_t seq, int limit);

  void armFault(const FaultRecord& fault);
  // Clears one operation's fault, or all when operation is empty.
  void clearFaults(std::string_view operation);
  std::vector<FaultRecord> listFaults();
  // What a Manager API call reads first, in one query: whether the server
  // runs and whether the operation has an armed fault.
  struct CallCheck {
    ServerState server;
    bool faultArmed = false;
  };
  CallCheck checkCall(std::string_view operation);
  // Uses up one call of an armed fault, atomically across processes. Takes
  // the write lock: for a call that checkCall found a fault armed for.
  std::optional<FaultRecord> takeFault(std::string_view operation);

 private:
  Store(std::unique_ptr<sqlite::Connection> connection, std::string path);
  bool accountExists(uint64_t login);
  MTAPIRES moveAccount(uint64_t login, uint32_t action, Money delta);
  void insertEvent(DealEventKind kind, const DealRecord& deal);
  std::optional<DealRecord> findDeal(uint64_t id);

  std::string path_;
  std::mutex mutex_;
  std::unique_ptr<sqlite::Connection> db_;
};

}  // namespace tradesim
