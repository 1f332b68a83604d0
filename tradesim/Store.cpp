#include "tradesim/Store.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "tradesim/Journal.h"
#include "tradesim/PasswordHash.h"

namespace tradesim {
namespace {

// Version 4 added the server's run state; a version-3 database gains it in
// place, older ones are refused.
constexpr int kSchemaVersion = 4;
constexpr int kUpgradableVersion = 3;
constexpr uint64_t kFirstAutoLogin = 1000;

// Money columns (balance, credit, amount) hold 1e-8 units of the currency.
constexpr const char* kSchema = R"sql(
CREATE TABLE server (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  address TEXT NOT NULL,
  running INTEGER NOT NULL DEFAULT 1,
  run INTEGER NOT NULL DEFAULT 1);
CREATE TABLE managers (
  login INTEGER PRIMARY KEY,
  salt BLOB NOT NULL,
  hash BLOB NOT NULL);
CREATE TABLE accounts (
  login INTEGER PRIMARY KEY,
  name TEXT NOT NULL, group_name TEXT NOT NULL, country TEXT NOT NULL, city TEXT NOT NULL,
  zip TEXT NOT NULL, address TEXT NOT NULL, phone TEXT NOT NULL, email TEXT NOT NULL,
  id_number TEXT NOT NULL, comment TEXT NOT NULL, lead_source TEXT NOT NULL,
  agent INTEGER NOT NULL, rights INTEGER NOT NULL, leverage INTEGER NOT NULL,
  master_salt BLOB NOT NULL, master_hash BLOB NOT NULL,
  investor_salt BLOB NOT NULL, investor_hash BLOB NOT NULL,
  balance INTEGER NOT NULL DEFAULT 0,
  credit INTEGER NOT NULL DEFAULT 0,
  registered_ms INTEGER NOT NULL DEFAULT 0,
  master_changed_ms INTEGER NOT NULL DEFAULT 0,
  investor_changed_ms INTEGER NOT NULL DEFAULT 0);
CREATE INDEX accounts_by_registration ON accounts(registered_ms, login);
CREATE TABLE deals (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  login INTEGER NOT NULL REFERENCES accounts(login),
  action INTEGER NOT NULL,
  amount INTEGER NOT NULL,
  comment TEXT NOT NULL,
  time INTEGER NOT NULL,
  manager INTEGER NOT NULL DEFAULT 0);
CREATE INDEX deals_by_login ON deals(login);
CREATE TABLE deal_events (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  kind TEXT NOT NULL CHECK (kind IN ('add', 'update', 'delete')),
  deal INTEGER NOT NULL,
  login INTEGER NOT NULL,
  action INTEGER NOT NULL,
  amount INTEGER NOT NULL,
  comment TEXT NOT NULL,
  time INTEGER NOT NULL,
  manager INTEGER NOT NULL DEFAULT 0);
CREATE TABLE faults (
  operation TEXT PRIMARY KEY,
  code INTEGER,
  code_after INTEGER,
  delay_ms INTEGER NOT NULL DEFAULT 0,
  delay_after_ms INTEGER NOT NULL DEFAULT 0,
  remaining INTEGER NOT NULL CHECK (remaining >= 0));
)sql";

static_assert(kSchemaVersion == kUpgradableVersion + 1, "the upgrade below leads to the current version");
constexpr const char* kUpgradeFromVersion3 = R"sql(
ALTER TABLE server ADD COLUMN running INTEGER NOT NULL DEFAULT 1;
ALTER TABLE server ADD COLUMN run INTEGER NOT NULL DEFAULT 1;
PRAGMA user_version = 4;
)sql";

int64_t schemaVersion(sqlite::Connection& db) {
  sqlite::Statement version(db, "PRAGMA user_version");
  return version.step() ? version.int64(0) : 0;
}

// Returns the version the database has afterwards. Another process may
// upgrade it at the same time: the version is read again under the write
// lock.
int64_t upgradeFromVersion3(sqlite::Connection& db) {
  sqlite::Transaction tx(db);
  const int64_t found = schemaVersion(db);
  if (found != kUpgradableVersion) return found;
  db.exec(kUpgradeFromVersion3);
  tx.commit();
  return kSchemaVersion;
}

constexpr const char* kAccountColumns =
    "login, name, group_name, country, city, zip, address, phone, email, id_number, comment, "
    "lead_source, agent, rights, leverage, balance, credit, registered_ms, master_changed_ms, investor_changed_ms";

AccountRecord readAccount(const sqlite::Statement& row) {
  AccountRecord a;
  a.login = row.uint64(0);
  a.name = row.text(1);
  a.group = row.text(2);
  a.country = row.text(3);
  a.city = row.text(4);
  a.zip = row.text(5);
  a.address = row.text(6);
  a.phone = row.text(7);
  a.email = row.text(8);
  a.id = row.text(9);
  a.comment = row.text(10);
  a.leadSource = row.text(11);
  a.agent = row.uint64(12);
  a.rights = row.uint64(13);
  a.leverage = static_cast<uint32_t>(row.int64(14));
  a.balance = row.int64(15);
  a.credit = row.int64(16);
  a.registeredMs = row.int64(17);
  a.masterChangedMs = row.int64(18);
  a.investorChangedMs = row.int64(19);
  return a;
}

constexpr const char* kTimesColumns = "login, registered_ms, master_changed_ms, investor_changed_ms";

AccountTimesRecord readTimes(const sqlite::Statement& row) {
  return {row.uint64(0), row.int64(1), row.int64(2), row.int64(3)};
}

bool validLogin(uint64_t login) {
  return login != 0 && login <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
}

const char* passwordColumns(uint32_t kind) {
  return kind == 0 ? "master_salt, master_hash" : "investor_salt, investor_hash";
}

}  // namespace

std::string databasePathFromEnvironment() {
  const char* path = std::getenv("TRADESIM_DB");
  return path && *path ? path : "tradesim.db";
}

std::unique_ptr<sqlite::Connection> openDatabase(const std::string& path, bool create) {
  auto connection = std::make_unique<sqlite::Connection>(
      path, create ? sqlite::Connection::Open::Create : sqlite::Connection::Open::ReadWrite);
  const char* sync = std::getenv("TRADESIM_SYNC");
  if (sync && std::string_view(sync) == "normal") connection->setSynced(false);
  return connection;
}

Store::Store(std::unique_ptr<sqlite::Connection> connection, std::string path)
    : path_(std::move(path)), db_(std::move(connection)) {}

Store::Store(const std::string& path) : path_(path) {
  db_ = openDatabase(path, false);
  int64_t found = schemaVersion(*db_);
  if (found == 0) {
    throw sqlite::Error(SQLITE_ERROR, "'" + path + "' is not a trading-server database (run 'tradesim init')");
  }
  if (found == kUpgradableVersion) found = upgradeFromVersion3(*db_);
  if (found != kSchemaVersion) {
    // Older databases lack columns this build writes and have no upgrade.
    throw sqlite::Error(SQLITE_ERROR, "'" + path + "' has trading-server schema version " + std::to_string(found) +
                                          ", this build needs schema version " + std::to_string(kSchemaVersion) +
                                          " (run 'tradesim init --force' to replace it)");
  }
}

std::unique_ptr<Store> Store::initialize(const std::string& path, std::string_view serverAddress, uint64_t managerLogin,
                                         std::string_view managerPassword, bool force) {
  if (access(path.c_str(), F_OK) == 0) {
    if (!force) throw std::runtime_error("database '" + path + "' already exists (use --force to replace it)");
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const std::string file = path + suffix;
      if (std::remove(file.c_str()) != 0 && access(file.c_str(), F_OK) == 0) {
        throw std::runtime_error("cannot remove '" + file + "'");
      }
    }
  }
  auto connection = openDatabase(path, true);
  {
    sqlite::Transaction tx(*connection);
    connection->exec(kSchema);
    sqlite::Statement(*connection, "INSERT INTO server (id, address) VALUES (1, ?)").bind(1, serverAddress).run();
    connection->exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    tx.commit();
  }
  std::unique_ptr<Store> store(new Store(std::move(connection), path));
  const MTAPIRES added = store->addManager(managerLogin, managerPassword);
  if (added != mtret::Ok) throw std::runtime_error("invalid manager login");
  return store;
}

MTAPIRES Store::addManager(uint64_t login, std::string_view password) {
  if (!validLogin(login)) return mtret::InvalidParams;
  const PasswordHash hash = hashPassword(password);
  std::lock_guard lock(mutex_);
  sqlite::Transaction tx(*db_);
  sqlite::Statement exists(*db_, "SELECT 1 FROM managers WHERE login = ?");
  if (exists.bind(1, login).step()) return mtret::AccountExists;
  sqlite::Statement(*db_, "INSERT INTO managers (login, salt, hash) VALUES (?, ?, ?)")
      .bind(1, login)
      .bind(2, hash.salt)
      .bind(3, hash.digest)
      .run();
  tx.commit();
  return mtret::Ok;
}

MTAPIRES Store::setManagerPassword(uint64_t login, std::string_view password) {
  const PasswordHash hash = hashPassword(password);
  std::lock_guard lock(mutex_);
  sqlite::Statement(*db_, "UPDATE managers SET salt = ?, hash = ? WHERE login = ?")
      .bind(1, hash.salt)
      .bind(2, hash.digest)
      .bind(3, login)
      .run();
  return db_->changes() == 0 ? mtret::NotFound : mtret::Ok;
}

bool Store::hasManager(uint64_t login) {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_, "SELECT 1 FROM managers WHERE login = ?");
  return query.bind(1, login).step();
}

MTAPIRES Store::checkManager(uint64_t login, std::string_view password) {
  PasswordHash stored;
  {
    std::lock_guard lock(mutex_);
    sqlite::Statement query(*db_, "SELECT salt, hash FROM managers WHERE login = ?");
    if (!query.bind(1, login).step()) return mtret::ManagerUnknown;
    stored = {query.blob(0), query.blob(1)};
  }
  return matchesPassword(stored, password) ? mtret::Ok : mtret::AuthFailed;
}

bool Store::accountExists(uint64_t login) {
  sqlite::Statement query(*db_, "SELECT 1 FROM accounts WHERE login = ?");
  return query.bind(1, login).step();
}

MTAPIRES Store::addAccount(AccountRecord& account, std::string_view masterPassword, std::string_view investorPassword) {
  if (account.login > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return mtret::InvalidParams;
  if (account.balance < -kMaxAmount || account.balance > kMaxAmount || account.credit < -kMaxAmount ||
      account.credit > kMaxAmount) {
    return mtret::InvalidParams;
  }
  // Hash outside the lock: it is the slow part.
  const PasswordHash master = hashPassword(masterPassword);
  const PasswordHash investor = hashPassword(investorPassword);
  std::lock_guard lock(mutex_);
  sqlite::Transaction tx(*db_);
  uint64_t login = account.login;
  if (login == 0) {
    sqlite::Statement highest(*db_, "SELECT MAX(login) FROM accounts");
    highest.step();
    const uint64_t top = highest.isNull(0) ? 0 : highest.uint64(0);
    login = std::max(top + 1, kFirstAutoLogin);
    if (!validLogin(login)) return mtret::Error;
  } else if (accountExists(login)) {
    return mtret::AccountExists;
  }
  sqlite::Statement insert(*db_,
                           "INSERT INTO accounts (login, name, group_name, country, city, zip, address, phone, email, "
                           "id_number, comment, lead_source, agent, rights, leverage, master_salt, master_hash, "
                           "investor_salt, investor_hash, balance, credit, registered_ms, master_changed_ms, "
                           "investor_changed_ms) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  insert.bind(1, login).bind(2, account.name).bind(3, account.group).bind(4, account.country);
  insert.bind(5, account.city).bind(6, account.zip).bind(7, account.address).bind(8, account.phone);
  insert.bind(9, account.email).bind(10, account.id).bind(11, account.comment).bind(12, account.leadSource);
  insert.bind(13, account.agent).bind(14, account.rights).bind(15, account.leverage);
  insert.bind(16, master.salt).bind(17, master.digest).bind(18, investor.salt).bind(19, investor.digest);
  const int64_t now = nowEpochMs();
  insert.bind(20, account.balance).bind(21, account.credit).bind(22, now).bind(23, now).bind(24, now);
  insert.run();
  tx.commit();
  account.login = login;
  account.registeredMs = account.masterChangedMs = account.investorChangedMs = now;
  return mtret::Ok;
}

MTAPIRES Store::loadAccount(uint64_t login, AccountRecord& account) {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_, (std::string("SELECT ") + kAccountColumns + " FROM accounts WHERE login = ?").c_str());
  if (!query.bind(1, login).step()) return mtret::NotFound;
  account = readAccount(query);
  return mtret::Ok;
}

MTAPIRES Store::saveAccount(const AccountRecord& account) {
  std::lock_guard lock(mutex_);
  sqlite::Transaction tx(*db_);
  sqlite::Statement update(*db_,
                           "UPDATE accounts SET name = ?, group_name = ?, country = ?, city = ?, zip = ?, address = ?, "
                           "phone = ?, email = ?, id_number = ?, comment = ?, lead_source = ?, agent = ?, rights = ?, "
                           "leverage = ? WHERE login = ?");
  update.bind(1, account.name).bind(2, account.group).bind(3, account.country).bind(4, account.city);
  update.bind(5, account.zip).bind(6, account.address).bind(7, account.phone).bind(8, account.email);
  update.bind(9, account.id).bind(10, account.comment).bind(11, account.leadSource).bind(12, account.agent);
  update.bind(13, account.rights).bind(14, account.leverage).bind(15, account.login);
  update.run();
  if (db_->changes() == 0) return mtret::NotFound;
  tx.commit();
  return mtret::Ok;
}

std::vector<AccountRecord> Store::listAccounts() {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_, (std::string("SELECT ") + kAccountColumns + " FROM accounts ORDER BY login").c_str());
  std::vector<AccountRecord> accounts;
  while (query.step()) accounts.push_back(readAccount(query));
  return accounts;
}

MTAPIRES Store::verifyPassword(uint32_t kind, uint64_t login, std::string_view password) {
  if (kind != 0 && kind != 1) return mtret::InvalidParams;
  PasswordHash stored;
  {
    std::lock_guard lock(mutex_);
    sqlite::Statement query(
        *db_, (std::string("SELECT ") + passwordColumns(kind) + " FROM accounts WHERE login = ?").c_str());
    if (!query.bind(1, login).step()) return mtret::NotFound;
    stored = {query.blob(0), query.blob(1)};
  }
  return matchesPassword(stored, password) ? mtret::Ok : mtret::WrongPassword;
}

MTAPIRES Store::setPassword(uint32_t kind, uint64_t login, std::string_view password) {
  if (kind != 0 && kind != 1) return mtret::InvalidParams;
  const PasswordHash hash = hashPassword(password);
  const char* sql =
      kind == 0 ? "UPDATE accounts SET master_salt = ?, master_hash = ?, master_changed_ms = ? WHERE login = ?"
                : "UPDATE accounts SET investor_salt = ?, investor_hash = ?, investor_changed_ms = ? WHERE login = ?";
  std::lock_guard lock(mutex_);
  sqlite::Transaction tx(*db_);
  sqlite::Statement(*db_, sql).bind(1, hash.salt).bind(2, hash.digest).bind(3, nowEpochMs()).bind(4, login).run();
  if (db_->changes() == 0) return mtret::NotFound;
  tx.commit();
  return mtret::Ok;
}

std::vector<AccountTimesRecord> Store::accountsRegisteredBetween(int64_t fromMs, int64_t toMs) {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_, (std::string("SELECT ") + kTimesColumns +
                                 " FROM accounts WHERE registered_ms BETWEEN ? AND ? ORDER BY registered_ms, login")
                                    .c_str());
  query.bind(1, fromMs).bind(2, toMs);
  std::vector<AccountTimesRecord> accounts;
  while (query.step()) accounts.push_back(readTimes(query));
  return accounts;
}

MTAPIRES Store::accountTimes(uint64_t login, AccountTimesRecord& times) {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_, (std::string("SELECT ") + kTimesColumns + " FROM accounts WHERE login = ?").c_str());
  if (!query.bind(1, login).step()) return mtret::NotFound;
  times = readTimes(query);
  return mtret::Ok;
}

}  // namespace tradesim
