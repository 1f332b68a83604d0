// The store's armed faults: what the next calls of an operation do instead
// of, or besides, their work.
#include "tradesim/Store.h"

#include <algorithm>

namespace tradesim {

const std::vector<std::string>& faultOperations() {
  static const std::vector<std::string> operations = {
      "OpenSession",     "AddAccount",  "LoadAccount", "SaveAccount",    "VerifyPassword", "SetPassword",
      "PostBalanceDeal", "DealRequest", "ServerTime",  "AccountRequest", "AccountTimes"};
  return operations;
}

bool isFaultOperation(std::string_view operation) {
  const auto& all = faultOperations();
  return std::find(all.begin(), all.end(), operation) != all.end();
}

void Store::armFault(const FaultRecord& fault) {
  std::lock_guard lock(mutex_);
  sqlite::Statement arm(*db_,
                        "INSERT INTO faults (operation, code, delay_ms, delay_after_ms, remaining) "
                        "VALUES (?, ?, ?, ?, ?) "
                        "ON CONFLICT (operation) DO UPDATE SET code = excluded.code, delay_ms = excluded.delay_ms, "
                        "delay_after_ms = excluded.delay_after_ms, remaining = excluded.remaining");
  arm.bind(1, fault.operation);
  if (fault.code) {
    arm.bind(2, *fault.code);
  } else {
    arm.bindNull(2);
  }
  arm.bind(3, fault.delayMs).bind(4, fault.delayAfterMs).bind(5, fault.remaining).run();
}

void Store::clearFaults(std::string_view operation) {
  std::lock_guard lock(mutex_);
  if (operation.empty()) {
    db_->exec("DELETE FROM faults");
  } else {
    sqlite::Statement(*db_, "DELETE FROM faults WHERE operation = ?").bind(1, operation).run();
  }
}

std::vector<FaultRecord> Store::listFaults() {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_,
                          "SELECT operation, code, delay_ms, delay_after_ms, remaining FROM faults WHERE remaining > 0 "
                          "ORDER BY operation");
  std::vector<FaultRecord> faults;
  while (query.step()) {
    FaultRecord fault;
    fault.operation = query.text(0);
    if (!query.isNull(1)) fault.code = static_cast<uint32_t>(query.int64(1));
    fault.delayMs = static_cast<uint32_t>(query.int64(2));
    fault.delayAfterMs = static_cast<uint32_t>(query.int64(3));
    fault.remaining = static_cast<uint32_t>(query.int64(4));
    faults.push_back(std::move(fault));
  }
  return faults;
}

std::optional<FaultRecord> Store::takeFault(std::string_view operation) {
  std::lock_guard lock(mutex_);
  {
    // Cheap read first: the write lock is taken only when a fault is armed.
    sqlite::Statement armed(*db_, "SELECT 1 FROM faults WHERE operation = ? AND remaining > 0");
    if (!armed.bind(1, operation).step()) return std::nullopt;
  }
  sqlite::Transaction tx(*db_);
  sqlite::Statement take(*db_,
                         "UPDATE faults SET remaining = remaining - 1 WHERE operation = ? AND remaining > 0 "
                         "RETURNING code, delay_ms, delay_after_ms, remaining");
  take.bind(1, operation);
  if (!take.step()) return std::nullopt;  // another process used it up first
  FaultRecord fault;
  fault.operation = std::string(operation);
  if (!take.isNull(0)) fault.code = static_cast<uint32_t>(take.int64(0));
  fault.delayMs = static_cast<uint32_t>(take.int64(1));
  fault.delayAfterMs = static_cast<uint32_t>(take.int64(2));
  fault.remaining = static_cast<uint32_t>(take.int64(3));
  take.run();
  if (fault.remaining == 0) sqlite::Statement(*db_, "DELETE FROM faults WHERE operation = ?").bind(1, operation).run();
  tx.commit();
  return fault;
}

}  // namespace tradesim
