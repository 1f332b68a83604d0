// The lease that tells other processes this one lives, and which of the
// lease holders serves the queues.
#include <memory>
#include <string>
#include <vector>

#include "bus/ProcessOwner.h"
#include "bus/RequestJournal.h"

using sqlite::Statement;

void RequestJournal::renewLease() {
  const std::string owner = owner_;
  const std::string place = thisProcessPlace();
  // A renewal always writes: its success is what tells the journal
  // writable again after a failure.
  writer_->writeCommitted(
      [owner, place](sqlite::Connection& db) {
        Statement(db,
                  "INSERT INTO leases (owner, place, renewed_at) VALUES (?, ?, ?) "
                  "ON CONFLICT (owner) DO UPDATE SET renewed_at = excluded.renewed_at")
            .bind(1, owner)
            .bind(2, place)
            .bind(3, journalNowMs())
            .run();
      },
      [this](bool ok) {
        if (ok) statusChanged(true, std::string());
      });
}

bool RequestJournal::claimActive(bool whateverOthers) {
  const std::string owner = owner_;
  auto claimed = std::make_shared<bool>(false);
  // The look at the others and the mark are one transaction: two processes
  // that claim at once cannot both see nobody.
  const bool written = writer_->writeDurably([owner, whateverOthers, claimed](sqlite::Connection& db) {
    *claimed = false;
    if (!whateverOthers) {
      std::vector<std::pair<std::string, OwnerLease>> others;
      {
        Statement q(db, "SELECT owner, place, renewed_at FROM leases WHERE active = 1 AND owner != ?");
        q.bind(1, owner);
        while (q.step()) others.emplace_back(q.text(0), OwnerLease{q.text(1), q.int64(2)});
      }
      const int64_t now = journalNowMs();
      for (const auto& [other, lease] : others) {
        if (::ownerState(other, lease, now) == OwnerState::Alive) return;
      }
    }
    Statement(db, "UPDATE leases SET active = 1 WHERE owner = ?").bind(1, owner).run();
    *claimed = db.changes() == 1;
  });
  return written && *claimed;
}
