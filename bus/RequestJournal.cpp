#include "bus/RequestJournal.h"
#include "support/ThreadName.h"

#include <openssl/evp.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <utility>
#include <vector>

#include "bus/JournalPlan.h"
#include "bus/JournalOpen.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/PasswordMask.h"

using sqldb::Statement;

namespace {

constexpr int64_t kDayMs = 24LL * 3600 * 1000;

void addHistory(sqldb::Connection& db, const std::string& queue, const std::string& messageId, const char* state,
                const std::string& owner, const std::string& note, int64_t at) {
  Statement(db,
            "INSERT INTO history (request_id, at, state, owner, note) SELECT id, CAST(? AS BIGINT), "
            "CAST(? AS TEXT), CAST(? AS TEXT), CAST(? AS TEXT) FROM requests WHERE queue = ? AND message_id = ?")
      .bind(1, at)
      .bind(2, state)
      .bind(3, owner)
      .bind(4, note)
      .bind(5, queue)
      .bind(6, messageId)
      .run();
}

// After an update that changed nothing: says what the entry was instead.
// No entry at all means this process's own "received" was not written.
JournalWrite logRefused(sqldb::Connection& db, const char* transition, const std::string& queue,
                        const std::string& messageId) {
  Statement q(db, "SELECT state, owner FROM requests WHERE queue = ? AND message_id = ?");
  q.bind(1, queue).bind(2, messageId);
  if (!q.step()) return JournalWrite::Failed;
  const std::string found = "is " + q.text(0) + ", owner " + q.text(1);
  writeLog("Journal: %s of message %s on %s refused: the entry %s\n", transition, messageId.c_str(), queue.c_str(),
           found.c_str());
  return JournalWrite::Refused;
}

}  // namespace

int64_t journalNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string replyAtRest(const std::string& reply) { return maskPasswords(reply); }

std::string requestDigest(const std::string& text) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), hash, &size, EVP_sha256(), nullptr) != 1) return "";
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += hex[hash[i] >> 4];
    out += hex[hash[i] & 15];
  }
  return out;
}

RequestJournal::RequestJournal(const std::string& location, int retentionDays, std::string owner,
                               const std::string& keyPath)
    : path_(location), retentionDays_(retentionDays), owner_(std::move(owner)) {
  JournalConnections opened = openJournalDatabase(location, keyPath);
  digestKey_ = std::move(opened.key);
  reader_ = std::move(opened.reader);
  writer_ = std::make_unique<JournalWriter>(std::move(opened.writer),
                                            [this](bool ok, const std::string& error) { statusChanged(ok, error); });
  renewLease();
  if (!writer_->flush()) throw JournalError(sqldb::locationForLog(location) + ": cannot be written");
  background_ = std::thread([this] {
    nameThisThread("journal-lease");
    backgroundLoop();
  });
}

RequestJournal::~RequestJournal() {
  {
    std::lock_guard<std::mutex> lock(backgroundMutex_);
    stopping_ = true;
  }
  backgroundWake_.notify_all();
  background_.join();
  // A clean stop gives the lease back: what is left is anyone's at once.
  const std::string owner = owner_;
  writer_->write(
      [owner](sqldb::Connection& db) { Statement(db, "DELETE FROM leases WHERE owner = ?").bind(1, owner).run(); });
  writer_.reset();  // writes what is queued
}

void RequestJournal::statusChanged(bool ok, const std::string& error) {
  const bool was = writable_.exchange(ok);
  if (was && !ok) {
    consolePrint("Request journal down: %s; requests are held on the broker\n", error.c_str());
    writeLog("Request journal down: %s; requests are held on the broker\n", error.c_str());
  } else if (!was && ok) {
    consolePrint("Request journal writable again; requests resume\n");
    writeLog("Request journal writable again; requests resume\n");
  }
}

void RequestJournal::received(const JournalEntry& e) {
  const std::string owner = owner_;
  writer_->write([e, owner](sqldb::Connection& db) {
    const int64_t now = db.nowMs();
    Statement(db,
              "INSERT INTO requests (queue, message_id, correlation_id, serial, kind, digest, login, amount, "
              "state, owner, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 'received', ?, ?) "
              "ON CONFLICT (queue, message_id) DO NOTHING")
        .bind(1, e.queue)
        .bind(2, e.messageId)
        .bind(3, e.correlationId)
        .bind(4, e.serial)
        .bind(5, e.kind)
        .bind(6, e.digest)
        .bind(7, e.login)
        .bind(8, e.amount)
        .bind(9, owner)
        .bind(10, now)
        .run();
    if (db.changes() == 1) addHistory(db, e.queue, e.messageId, "received", owner, e.correlationId, now);
  });
}

void RequestJournal::takeOver(const JournalEntry& seen, const std::string& correlationId) {
  const std::string owner = owner_;
  writer_->write([seen, correlationId, owner](sqldb::Connection& db) {
    Statement(db,
              "UPDATE requests SET owner = ?, correlation_id = ? "
              "WHERE queue = ? AND message_id = ? AND owner = ? AND state = ?")
        .bind(1, owner)
        .bind(2, correlationId)
        .bind(3, seen.queue)
        .bind(4, seen.messageId)
        .bind(5, seen.owner)
        .bind(6, stateName(seen.state))
        .run();
    if (db.changes() != 1) {
      logRefused(db, "taking over", seen.queue, seen.messageId);
      return;
    }
    // Its own line: only "started" lines count as attempts at the change.
    addHistory(db, seen.queue, seen.messageId, "taken_over", owner,
               std::string(stateName(seen.state)) + " by " + seen.owner + "; " + correlationId, db.nowMs());
  });
}

JournalWrite RequestJournal::transition(JournalWriter::Change change, bool durable,
                                        const std::shared_ptr<JournalWrite>& outcome) {
  const bool ok = durable ? writer_->writeDurably(std::move(change)) : writer_->writeCommitted(std::move(change));
  if (!ok) return JournalWrite::Failed;
  if (!writable_.load()) statusChanged(true, std::string());
  return *outcome;
}

JournalWrite RequestJournal::started(const std::string& queue, const std::string& messageId,
                                     const PlannedChange& change, const std::string& serialGuard) {
  const std::string owner = owner_;
  const int64_t since = journalNowMs() - retentionDays_ * kDayMs;
  auto outcome = std::make_shared<JournalWrite>(JournalWrite::Refused);
  auto record = [=](sqldb::Connection& db) {
    // Two hosts starting two messages of one serial: the second to take the
    // lock sees the first's start.
    if (!serialGuard.empty()) db.lock("serial\n" + queue + "\n" + serialGuard);
    const int64_t now = db.nowMs();
    {
      // A process whose lease ran out may have been taken for gone: it
      // begins no change until its lease is renewed.
      Statement lease(db, "SELECT renewed_at FROM leases WHERE owner = ?");
      lease.bind(1, owner);
      if (!lease.step() || now - lease.int64(0) > kLeaseExpiryMs) {
        writeLog("Journal: this process's lease ran out; %s on %s waits until it is renewed\n", messageId.c_str(),
                 queue.c_str());
        *outcome = JournalWrite::Failed;
        return;
      }
    }
    PlannedChange planned = change;
    {
      // An earlier attempt's start on the server's clock bounds every check.
      Statement earlier(db, "SELECT plan FROM requests WHERE queue = ? AND message_id = ?");
      earlier.bind(1, queue).bind(2, messageId);
      if (earlier.step()) {
        const std::optional<PlannedChange> first = planFrom(earlier.text(0));
        if (first && first->serverTimeMs != 0 &&
            (planned.serverTimeMs == 0 || first->serverTimeMs < planned.serverTimeMs))
          planned.serverTimeMs = first->serverTimeMs;
      }
    }
    Statement(db,
              "UPDATE requests SET state = 'started', plan = ?, "
              "started_at = CASE WHEN started_at = 0 THEN ? ELSE started_at END "
              "WHERE queue = ? AND message_id = ? AND owner = ? AND state IN ('received', 'started') "
              "AND (? = '' OR NOT EXISTS (SELECT 1 FROM requests o WHERE o.queue = requests.queue "
              "AND o.serial = ? AND o.message_id <> requests.message_id AND o.state NOT IN ('received', 'resolved') "
              "AND (o.received_at >= ? OR o.state = 'in_doubt')))")
        .bind(1, planText(planned))
        .bind(2, now)
        .bind(3, queue)
        .bind(4, messageId)
        .bind(5, owner)
        .bind(6, serialGuard)
        .bind(7, serialGuard)
        .bind(8, since)
        .run();
    if (db.changes() != 1) {
      *outcome = logRefused(db, "started", queue, messageId);
      return;
    }
    *outcome = JournalWrite::Recorded;
    addHistory(db, queue, messageId, "started", owner, "", now);
  };
  return transition(record, true, outcome);
}

JournalWriter::Change RequestJournal::doneChange(const std::string& queue, const std::string& messageId,
                                                 const std::string& reply, uint64_t effectId, bool changed,
                                                 const std::string& note,
                                                 const std::shared_ptr<JournalWrite>& outcome) {
  const std::string owner = owner_;
  const std::string stored = replyAtRest(reply);
  return [=](sqldb::Connection& db) {
    const int64_t now = db.nowMs();
    Statement(db,
              "UPDATE requests SET state = 'done', reply = ?, deal_id = ?, changed = ?, done_at = ?, note = ? "
              "WHERE queue = ? AND message_id = ? AND owner = ? AND state IN ('received', 'started')")
        .bind(1, stored)
        .bind(2, effectId)
        .bind(3, changed ? 1 : 0)
        .bind(4, now)
        .bind(5, note)
        .bind(6, queue)
        .bind(7, messageId)
        .bind(8, owner)
        .run();
    if (db.changes() != 1) {
      *outcome = logRefused(db, "done", queue, messageId);
      return;
    }
    *outcome = JournalWrite::Recorded;
    addHistory(db, queue, messageId, "done", owner, note, now);
  };
}

JournalWrite RequestJournal::done(const std::string& queue, const std::string& messageId, const std::string& reply,
                                  uint64_t effectId, bool changed, const std::string& note, bool durable) {
  auto outcome = std::make_shared<JournalWrite>(JournalWrite::Refused);
  return transition(doneChange(queue, messageId, reply, effectId, changed, note, outcome), durable, outcome);
}

void RequestJournal::done(const std::string& queue, const std::string& messageId, const std::string& reply,
                          uint64_t effectId, bool changed, bool durable, std::function<void(JournalWrite)> then) {
  auto outcome = std::make_shared<JournalWrite>(JournalWrite::Refused);
  auto told = [this, outcome, then = std::move(then)](bool ok) {
    if (!ok) return then(JournalWrite::Failed);
    if (!writable_.load()) statusChanged(true, std::string());
    then(*outcome);
  };
  JournalWriter::Change change = doneChange(queue, messageId, reply, effectId, changed, std::string(), outcome);
  if (durable)
    writer_->writeDurably(std::move(change), std::move(told));
  else
    writer_->writeCommitted(std::move(change), std::move(told));
}

JournalWrite RequestJournal::inDoubt(const std::string& queue, const std::string& messageId, const std::string& reply,
                                     const std::string& note) {
  const std::string owner = owner_;
  const std::string stored = replyAtRest(reply);
  auto outcome = std::make_shared<JournalWrite>(JournalWrite::Refused);
  auto record = [=](sqldb::Connection& db) {
    const int64_t now = db.nowMs();
    Statement(db,
              "UPDATE requests SET state = 'in_doubt', reply = ?, done_at = ?, note = ? "
              "WHERE queue = ? AND message_id = ? AND owner = ? AND state IN ('received', 'started')")
        .bind(1, stored)
        .bind(2, now)
        .bind(3, note)
        .bind(4, queue)
        .bind(5, messageId)
        .bind(6, owner)
        .run();
    if (db.changes() != 1) {
      *outcome = logRefused(db, "in doubt", queue, messageId);
      return;
    }
    *outcome = JournalWrite::Recorded;
    addHistory(db, queue, messageId, "in_doubt", owner, note, now);
  };
  return transition(record, true, outcome);
}

bool RequestJournal::confirmed(const std::string& queue, const std::string& messageId,
                               const std::string& correlationId) {
  auto result = std::make_shared<std::promise<bool>>();
  std::future<bool> done = result->get_future();
  confirmed(queue, {{messageId, correlationId}}, [result](bool ok) { result->set_value(ok); });
  return done.get();
}

void RequestJournal::confirmed(const std::string& queue,
                               const std::vector<std::pair<std::string, std::string>>& replies,
                               std::function<void(bool)> then) {
  const std::string owner = owner_;
  auto record = [=](sqldb::Connection& db) {
    const int64_t now = db.nowMs();
    for (const auto& [messageId, correlationId] : replies) {
      // Whoever sent it, the reply sent is the recorded one.
      Statement(db,
                "UPDATE requests SET state = CASE WHEN state = 'done' THEN 'confirmed' ELSE state END, "
                "confirmed_at = ?, confirmed_correlation_id = ? WHERE queue = ? AND message_id = ? "
                "AND state IN ('done', 'confirmed', 'acknowledged', 'in_doubt', 'resolved')")
          .bind(1, now)
          .bind(2, correlationId)
          .bind(3, queue)
          .bind(4, messageId)
          .run();
      if (db.changes() != 1) {
        logRefused(db, "confirmed", queue, messageId);
        continue;
      }
      addHistory(db, queue, messageId, "confirmed", owner, correlationId, now);
    }
  };
  writer_->writeDurably(record, std::move(then));
}

void RequestJournal::replyRefused(const std::string& queue, const std::string& messageId, const std::string& why,
                                  std::function<void(bool)> then) {
  const std::string owner = owner_;
  writer_->writeDurably(
      [=](sqldb::Connection& db) {
        Statement(db, "UPDATE requests SET note = ? WHERE queue = ? AND message_id = ?")
            .bind(1, "reply refused by the broker: " + why)
            .bind(2, queue)
            .bind(3, messageId)
            .run();
        addHistory(db, queue, messageId, "refused", owner, why, db.nowMs());
      },
      std::move(then));
}

void RequestJournal::acknowledged(const std::string& queue, const std::string& messageId) {
  const std::string owner = owner_;
  writer_->write([=](sqldb::Connection& db) {
    const int64_t now = db.nowMs();
    Statement(db,
              "UPDATE requests SET state = CASE WHEN state IN ('done', 'confirmed') THEN 'acknowledged' "
              "ELSE state END, acknowledged_at = ? WHERE queue = ? AND message_id = ? "
              "AND state IN ('done', 'confirmed', 'acknowledged', 'in_doubt', 'resolved')")
        .bind(1, now)
        .bind(2, queue)
        .bind(3, messageId)
        .run();
    if (db.changes() != 1) {
      logRefused(db, "acknowledged", queue, messageId);
      return;
    }
    addHistory(db, queue, messageId, "acknowledged", owner, "", now);
  });
}

void RequestJournal::note(const std::string& queue, const std::string& messageId, const std::string& text) {
  const std::string owner = owner_;
  writer_->write([=](sqldb::Connection& db) {
    const int64_t now = db.nowMs();
    Statement q(db, "SELECT state FROM requests WHERE queue = ? AND message_id = ?");
    q.bind(1, queue).bind(2, messageId);
    const std::string state = q.step() ? q.text(0) : std::string("received");
    addHistory(db, queue, messageId, state.c_str(), owner, text, now);
  });
}

bool RequestJournal::flush() { return writer_->flush(); }
