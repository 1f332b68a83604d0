#include "bus/JournalUpgrade.h"

#include <string>
#include <utility>
#include <vector>

#include "bus/JournalLeases.h"
#include "bus/ProcessOwner.h"
#include "bus/RequestJournal.h"

using sqldb::Statement;

namespace {

// Before version 3 replies were kept as they were sent, passwords included.
void maskStoredPasswords(sqldb::Connection& db) {
  std::vector<std::pair<int64_t, std::string>> masked;
  {
    Statement rows(db, "SELECT id, reply FROM requests WHERE reply IS NOT NULL AND reply LIKE '%Pass%'");
    while (rows.step()) {
      const std::string reply = rows.text(1);
      std::string atRest = replyAtRest(reply);
      if (atRest != reply) masked.emplace_back(rows.int64(0), std::move(atRest));
    }
  }
  for (const auto& [id, reply] : masked)
    Statement(db, "UPDATE requests SET reply = ? WHERE id = ?").bind(1, reply).bind(2, id).run();
}

bool hasColumn(sqldb::Connection& db, const char* table, const char* column) {
  const std::string sql = std::string("PRAGMA table_info(") + table + ")";
  Statement info(db, sql.c_str());
  while (info.step()) {
    if (info.text(1) == column) return true;
  }
  return false;
}

// A process of the older version still using the journal would go on by
// its own rules (replies kept whole, leases read the old way): it must stop
// before the journal changes under it.
void refuseWhileOthersLive(sqldb::Connection& db) {
  const int64_t now = db.nowMs();
  for (const auto& [owner, lease] : leaseHolders(db, false)) {
    if (ownerState(owner, lease, now) != OwnerState::Gone)
      throw JournalError("used by " + owner +
                         ", which runs an older version of the service: stop it before this version opens the journal");
  }
}

}  // namespace

void upgradeJournal(sqldb::Connection& db, int64_t foundVersion) {
  if (foundVersion >= 2) refuseWhileOthersLive(db);
  if (foundVersion < 3) maskStoredPasswords(db);
  // Version 4: which lease holder serves the queues (one at a time in standby mode).
  if (!hasColumn(db, "leases", "active")) db.exec("ALTER TABLE leases ADD COLUMN active INTEGER NOT NULL DEFAULT 0");
}
