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

namespace {

void bindCode(sqlite::Statement& statement, int index, const std::optional<uint32_t>& code) {
  if (code) {
    statement.bind(index, *code);
  } else {
    statement.bindNull(index);
  }
}

std::optional<uint32_t> readCode(const sqlite::Statement& row, int column) {
  if (row.isNull(column)) return std::nullopt;
  return static_cast<uint32_t>(row.int64(column));
}

// Columns: code, code_after, delay_ms, delay_after_ms, remaining.
FaultRecord readFault(const sqlite::Statement& row, std::string operation) {
  FaultRecord fault;
  fault.operation = std::move(operation);
  fault.code = readCode(row, 0);
  fault.codeAfter = readCode(row, 1);
  fault.delayMs = static_cast<uint32_t>(row.int64(2));
  fault.delayAfterMs = static_cast<uint32_t>(row.int64(3));
  fault.remaining = static_cast<uint32_t>(row.int64(4));
  return fault;
}

}  // namespace

bool isFaultOperation(std::string_view operation) {
  const auto& all = faultOperations();
  return std::find(all.begin(), all.end(), operation) != all.end();
}

void Store::armFault(const FaultRecord& fault) {
  std::lock_guard lock(mutex_);
  sqlite::Statement arm(*db_,
                        "INSERT INTO faults (operation, code, code_after, delay_ms, delay_after_ms, remaining) "
                        "VALUES (?, ?, ?, ?, ?, ?) "
                        "ON CONFLICT (operation) DO UPDATE SET code = excluded.code, code_after = excluded.code_after, "
                        "delay_ms = excluded.delay_ms, delay_after_ms = excluded.delay_after_ms, "
                        "remaining = excluded.remaining");
  arm.bind(1, fault.operation);
  bindCode(arm, 2, fault.code);
  bindCode(arm, 3, fault.codeAfter);
  arm.bind(4, fault.delayMs).bind(5, fault.delayAfterMs).bind(6, fault.remaining).run();
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
                          "SELECT code, code_after, delay_ms, delay_after_ms, remaining, operation FROM faults "
                          "WHERE remaining > 0 ORDER BY operation");
  std::vector<FaultRecord> faults;
  while (query.step()) faults.push_back(readFault(query, query.text(5)));
  return faults;
}

Store::CallCheck Store::checkCall(std::string_view operation) {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_,
                          "SELECT running, run, EXISTS (SELECT 1 FROM faults WHERE operation = ? AND remaining > 0) "
                          "FROM server WHERE id = 1");
  CallCheck check;
  if (query.bind(1, operation).step()) {
    check.server = {query.int64(0) != 0, query.int64(1)};
    check.faultArmed = query.int64(2) != 0;
  }
  return check;
}

std::optional<FaultRecord> Store::takeFault(std::string_view operation) {
  std::lock_guard lock(mutex_);
  sqlite::Transaction tx(*db_);
  sqlite::Statement take(*db_,
                         "UPDATE faults SET remaining = remaining - 1 WHERE operation = ? AND remaining > 0 "
                         "RETURNING code, code_after, delay_ms, delay_after_ms, remaining");
  take.bind(1, operation);
  if (!take.step()) return std::nullopt;  // another process used it up first
  FaultRecord fault = readFault(take, std::string(operation));
  take.run();
  if (fault.remaining == 0) sqlite::Statement(*db_, "DELETE FROM faults WHERE operation = ?").bind(1, operation).run();
  tx.commit();
  return fault;
}

}  // namespace tradesim
