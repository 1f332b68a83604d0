// The store's server row: the address it answers to and whether it runs.
#include "tradesim/Store.h"

namespace tradesim {

std::string Store::serverAddress() {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_, "SELECT address FROM server WHERE id = 1");
  return query.step() ? query.text(0) : std::string();
}

ServerState Store::serverState() {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_, "SELECT running, run FROM server WHERE id = 1");
  if (!query.step()) return {};
  return {query.int64(0) != 0, query.int64(1)};
}

bool Store::setServerRunning(bool running) {
  std::lock_guard lock(mutex_);
  sqlite::Transaction tx(*db_);
  sqlite::Statement(*db_, "UPDATE server SET running = ?, run = run + ? WHERE id = 1 AND running <> ?")
      .bind(1, running ? 1 : 0)
      .bind(2, running ? 1 : 0)
      .bind(3, running ? 1 : 0)
      .run();
  const bool changed = db_->changes() > 0;
  tx.commit();
  return changed;
}

}  // namespace tradesim
