// The lease that tells other processes this one lives, which of the lease
// holders serves the queues, and the background loop that renews it and
// prunes what the journal no longer needs.
#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bus/JournalLeases.h"
#include "bus/ProcessOwner.h"
#include "bus/RequestJournal.h"

using sqldb::Statement;

namespace {

constexpr int64_t kDayMs = 24LL * 3600 * 1000;
constexpr int64_t kPruneEveryMs = 3600LL * 1000;

int64_t steadyNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

LeaseHolders leaseHolders(sqldb::Connection& db, bool servingOnly, const std::string& except) {
  LeaseHolders holders;
  Statement q(db, servingOnly ? "SELECT owner, place, renewed_at FROM leases WHERE active = 1 AND owner != ?"
                              : "SELECT owner, place, renewed_at FROM leases WHERE owner != ?");
  q.bind(1, except);
  while (q.step()) holders.emplace_back(q.text(0), OwnerLease{q.text(1), q.int64(2)});
  return holders;
}

bool RequestJournal::leaseFresh() const {
  // Others take the lease as run out kLeaseExpiryMs after the time it
  // wrote; this side counts from before that write, on a clock no step of
  // the wall clock moves, and keeps a margin for the call to go out.
  constexpr int64_t kMarginMs = 2000;
  return steadyNowMs() - leaseRenewedMs_.load() < kLeaseExpiryMs - kMarginMs;
}

void RequestJournal::renewLease() {
  const std::string owner = owner_;
  const std::string place = thisProcessPlace();
  auto writtenAt = std::make_shared<int64_t>(0);
  // A renewal always writes: its success is what tells the journal
  // writable again after a failure.
  writer_->writeCommitted(
      [owner, place, writtenAt](sqldb::Connection& db) {
        *writtenAt = steadyNowMs();
        Statement(db,
                  "INSERT INTO leases (owner, place, renewed_at) VALUES (?, ?, ?) "
                  "ON CONFLICT (owner) DO UPDATE SET renewed_at = excluded.renewed_at")
            .bind(1, owner)
            .bind(2, place)
            .bind(3, db.nowMs())
            .run();
      },
      [this, writtenAt](bool ok) {
        if (!ok) return;
        leaseRenewedMs_ = *writtenAt;
        statusChanged(true, std::string());
      });
}

bool RequestJournal::claimActive(bool whateverOthers) {
  const std::string owner = owner_;
  auto claimed = std::make_shared<bool>(false);
  // The look at the others and the mark are one transaction: two processes
  // that claim at once cannot both see nobody.
  const bool written = writer_->writeDurably([owner, whateverOthers, claimed](sqldb::Connection& db) {
    *claimed = false;
    db.lock("serving");  // two that claim at once: the second sees the first's mark
    if (!whateverOthers) {
      const int64_t now = db.nowMs();
      for (const auto& [other, lease] : leaseHolders(db, true, owner)) {
        if (::ownerState(other, lease, now) != OwnerState::Alive) continue;
        // Another serves: a mark left from before this one was cut off
        // goes, so that it is not taken as serving beside it.
        Statement(db, "UPDATE leases SET active = 0 WHERE owner = ?").bind(1, owner).run();
        return;
      }
    }
    Statement(db, "UPDATE leases SET active = 1 WHERE owner = ?").bind(1, owner).run();
    *claimed = db.changes() == 1;
  });
  return written && *claimed;
}

void RequestJournal::prune() {
  const int64_t before = journalNowMs() - retentionDays_ * kDayMs;
  writer_->write([before](sqldb::Connection& db) {
    // An in-doubt check looks back to its attempt's start: what settled on
    // a deal or account since then stays, so that it still counts as taken.
    Statement oldest(db,
                     "SELECT min(CASE WHEN started_at > 0 THEN started_at ELSE received_at END) FROM requests "
                     "WHERE state = 'started'");
    int64_t cutoff = before;
    if (oldest.step() && !oldest.isNull(0)) cutoff = std::min(cutoff, oldest.int64(0) - kDayMs);
    const char* finished = "received_at < ? AND state IN ('received', 'confirmed', 'acknowledged', 'resolved')";
    Statement(db,
              (std::string("DELETE FROM history WHERE request_id IN (SELECT id FROM requests WHERE ") + finished + ")")
                  .c_str())
        .bind(1, cutoff)
        .run();
    Statement(db, (std::string("DELETE FROM requests WHERE ") + finished).c_str()).bind(1, cutoff).run();
    Statement(db, "DELETE FROM leases WHERE renewed_at < ?").bind(1, before).run();
  });
}

void RequestJournal::backgroundLoop() {
  std::unique_lock<std::mutex> lock(backgroundMutex_);
  int64_t nextPrune = 0;
  while (!stopping_) {
    lock.unlock();
    renewLease();
    const int64_t now = journalNowMs();
    if (now >= nextPrune) {
      prune();
      nextPrune = now + kPruneEveryMs;
    }
    lock.lock();
    backgroundWake_.wait_for(lock, std::chrono::milliseconds(kLeaseRenewMs), [this] { return stopping_; });
  }
}
