#include "bus/RequestJournal.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "support/DailyLog.h"
#include "support/Json.h"

using sqlite::Statement;

namespace {

constexpr int64_t kDayMs = 24LL * 3600 * 1000;
constexpr auto kPruneEvery = std::chrono::hours(1);

// Creates the journal's directory (one level, owner only) and the file
// itself with owner-only permissions, which SQLite gives its -wal and -shm
// files too.
void prepareFile(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
      throw JournalError(path + ": cannot create its directory (" + std::strerror(errno) + ")");
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw JournalError(path + ": cannot be opened (" + std::strerror(errno) + ")");
  ::close(fd);
}

std::string planText(const PlannedChange& change) {
  Json::Value v;
  v["kind"] = static_cast<int>(change.kind);
  v["login"] = Json::Value(static_cast<Json::UInt64>(change.login));
  v["action"] = change.action;
  v["amount"] = change.amount;
  v["comment"] = change.comment;
  return writeJson(v);
}

std::optional<PlannedChange> planFrom(const std::string& text) {
  Json::Value v;
  if (text.empty() || !parseJson(text, v) || !v.isObject()) return std::nullopt;
  try {
    PlannedChange change;
    change.kind = static_cast<PlannedChange::Kind>(v["kind"].asInt());
    change.login = v["login"].asUInt64();
    change.action = v["action"].asUInt();
    change.amount = v["amount"].asDouble();
    change.comment = v["comment"].asString();
    return change;
  } catch (const Json::Exception&) {
    return std::nullopt;
  }
}

JournalEntry readEntry(const Statement& row) {
  JournalEntry e;
  e.id = row.int64(0);
  e.queue = row.text(1);
  e.messageId = row.text(2);
  e.correlationId = row.text(3);
  e.serial = row.text(4);
  e.kind = row.text(5);
  e.digest = row.text(6);
  e.login = row.uint64(7);
  e.amount = row.real(8);
  e.state = stateFromName(row.text(9)).value_or(JournalState::Received);
  e.planned = planFrom(row.text(10));
  e.reply = row.text(11);
  e.dealId = row.uint64(12);
  e.changed = row.int64(13) != 0;
  e.owner = row.text(14);
  e.receivedAt = row.int64(15);
  e.startedAt = row.int64(16);
  e.doneAt = row.int64(17);
  e.confirmedAt = row.int64(18);
  e.acknowledgedAt = row.int64(19);
  e.confirmedCorrelationId = row.text(20);
  e.note = row.text(21);
  return e;
}

void addHistory(sqlite::Connection& db, const std::string& queue, const std::string& messageId, const char* state,
                const std::string& owner, const std::string& note, int64_t at) {
  Statement(db,
            "INSERT INTO history (request_id, at, state, owner, note) "
            "SELECT id, ?, ?, ?, ? FROM requests WHERE queue = ? AND message_id = ?")
      .bind(1, at)
      .bind(2, state)
      .bind(3, owner)
      .bind(4, note)
      .bind(5, queue)
      .bind(6, messageId)
      .run();
}

}  // namespace

int64_t journalNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

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

RequestJournal::RequestJournal(const std::string& path, int retentionDays, std::string owner)
    : path_(path), retentionDays_(retentionDays), owner_(std::move(owner)) {
  try {
    prepareFile(path);
    auto db = std::make_unique<sqlite::Connection>(path, sqlite::Connection::Open::ReadWrite);
    Statement version(*db, "PRAGMA user_version");
    const int64_t found = version.step() ? version.int64(0) : 0;
    if (found > journalschema::kVersion)
      throw JournalError(path + ": written by a newer version (schema " + std::to_string(found) + ")");
    {
      sqlite::Transaction schema(*db);
      db->exec(journalschema::kCreate);
      db->exec(("PRAGMA user_version = " + std::to_string(journalschema::kVersion)).c_str());
      schema.commit();
    }
    reader_ = std::make_unique<sqlite::Connection>(path, sqlite::Connection::Open::ReadWrite);
    writer_ = std::make_unique<JournalWriter>(std::move(db), [this](const std::string& error) {
      writeLog("Journal %s: write failed: %s\n", path_.c_str(), error.c_str());
    });
  } catch (const sqlite::Error& e) {
    throw JournalError(path + ": " + e.what());
  }
  pruner_ = std::thread([this] { pruneLoop(); });
}

RequestJournal::~RequestJournal() {
  {
    std::lock_guard<std::mutex> lock(pruneMutex_);
    stopping_ = true;
  }
  pruneWake_.notify_all();
  pruner_.join();
  writer_.reset();  // writes what is queued
}

std::optional<JournalEntry> RequestJournal::find(const std::string& queue, const std::string& messageId) {
  std::lock_guard<std::mutex> lock(readMutex_);
  Statement q(
      *reader_,
      (std::string("SELECT ") + journalschema::kColumns + " FROM requests WHERE queue = ? AND message_id = ?").c_str());
  q.bind(1, queue).bind(2, messageId);
  if (!q.step()) return std::nullopt;
  return readEntry(q);
}

std::optional<JournalEntry> RequestJournal::findSerial(const std::string& queue, const std::string& serial,
                                                       const std::string& exceptMessageId) {
  std::lock_guard<std::mutex> lock(readMutex_);
  Statement q(*reader_, (std::string("SELECT ") + journalschema::kColumns +
                         " FROM requests WHERE queue = ? AND serial = ? AND message_id <> ? AND received_at >= ?"
                         " ORDER BY received_at DESC, id DESC LIMIT 1")
                            .c_str());
  q.bind(1, queue).bind(2, serial).bind(3, exceptMessageId).bind(4, journalNowMs() - retentionDays_ * kDayMs);
  if (!q.step()) return std::nullopt;
  return readEntry(q);
}

bool RequestJournal::dealClaimed(uint64_t dealId, const std::string& queue, const std::string& messageId,
                                 const std::string& otherMessageId) {
  writer_->flush();
  std::lock_guard<std::mutex> lock(readMutex_);
  Statement q(*reader_,
              "SELECT 1 FROM requests WHERE deal_id = ? AND NOT (queue = ? AND message_id IN (?, ?)) LIMIT 1");
  q.bind(1, dealId).bind(2, queue).bind(3, messageId).bind(4, otherMessageId);
  return q.step();
}

RequestJournal::Counts RequestJournal::counts() {
  std::lock_guard<std::mutex> lock(readMutex_);
  Statement q(*reader_,
              "SELECT coalesce(sum(state IN ('started', 'done')), 0), coalesce(sum(state = 'in_doubt'), 0) "
              "FROM requests WHERE state IN ('started', 'done', 'in_doubt')");
  Counts c;
  if (q.step()) {
    c.unconfirmed = q.uint64(0);
    c.inDoubt = q.uint64(1);
  }
  return c;
}

void RequestJournal::received(const JournalEntry& e) {
  const std::string owner = owner_;
  writer_->write([e, owner](sqlite::Connection& db) {
    const int64_t now = journalNowMs();
    Statement(db,
              "INSERT INTO requests (queue, message_id, correlation_id, serial, kind, digest, login, amount, "
              "state, owner, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 'received', ?, ?) "
              "ON CONFLICT (queue, message_id) DO UPDATE SET owner = excluded.owner, "
              "correlation_id = excluded.correlation_id")
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
    addHistory(db, e.queue, e.messageId, "received", owner, e.correlationId, now);
  });
}

bool RequestJournal::started(const std::string& queue, const std::string& messageId, const PlannedChange& change) {
  const std::string owner = owner_;
  const std::string plan = planText(change);
  auto record = [=](sqlite::Connection& db) {
    const int64_t now = journalNowMs();
    Statement(db,
              "UPDATE requests SET state = 'started', plan = ?, started_at = ?, owner = ? "
              "WHERE queue = ? AND message_id = ?")
        .bind(1, plan)
        .bind(2, now)
        .bind(3, owner)
        .bind(4, queue)
        .bind(5, messageId)
        .run();
    if (db.changes() != 1) throw sqlite::Error(0, "no journal entry for message " + messageId);
    addHistory(db, queue, messageId, "started", owner, "", now);
  };
  if (!change.redoIsHarmless) return writer_->writeDurably(record);
  writer_->write(record);
  return true;
}

void RequestJournal::done(const std::string& queue, const std::string& messageId, const std::string& reply,
                          uint64_t dealId, bool changed, const std::string& note) {
  const std::string owner = owner_;
  writer_->write([=](sqlite::Connection& db) {
    const int64_t now = journalNowMs();
    Statement(db,
              "UPDATE requests SET state = 'done', reply = ?, deal_id = ?, changed = ?, done_at = ?, note = ? "
              "WHERE queue = ? AND message_id = ?")
        .bind(1, reply)
        .bind(2, dealId)
        .bind(3, changed ? 1 : 0)
        .bind(4, now)
        .bind(5, note)
        .bind(6, queue)
        .bind(7, messageId)
        .run();
    addHistory(db, queue, messageId, "done", owner, note, now);
  });
}

void RequestJournal::inDoubt(const std::string& queue, const std::string& messageId, const std::string& reply,
                             const std::string& note) {
  const std::string owner = owner_;
  writer_->write([=](sqlite::Connection& db) {
    const int64_t now = journalNowMs();
    Statement(db,
              "UPDATE requests SET state = 'in_doubt', reply = ?, done_at = ?, note = ? "
              "WHERE queue = ? AND message_id = ?")
        .bind(1, reply)
        .bind(2, now)
        .bind(3, note)
        .bind(4, queue)
        .bind(5, messageId)
        .run();
    addHistory(db, queue, messageId, "in_doubt", owner, note, now);
  });
}

bool RequestJournal::confirmed(const std::string& queue, const std::string& messageId,
                               const std::string& correlationId) {
  return writer_->writeDurably(confirmation(queue, {{messageId, correlationId}}));
}

void RequestJournal::confirmed(const std::string& queue,
                               const std::vector<std::pair<std::string, std::string>>& replies,
                               std::function<void(bool)> then) {
  writer_->writeDurably(confirmation(queue, replies), std::move(then));
}

JournalWriter::Change RequestJournal::confirmation(const std::string& queue,
                                                   const std::vector<std::pair<std::string, std::string>>& replies) {
  const std::string owner = owner_;
  return [=](sqlite::Connection& db) {
    const int64_t now = journalNowMs();
    for (const auto& [messageId, correlationId] : replies) {
      Statement(db,
                "UPDATE requests SET state = CASE WHEN state IN ('in_doubt', 'resolved') THEN state "
                "ELSE 'confirmed' END, confirmed_at = ?, confirmed_correlation_id = ? "
                "WHERE queue = ? AND message_id = ?")
          .bind(1, now)
          .bind(2, correlationId)
          .bind(3, queue)
          .bind(4, messageId)
          .run();
      addHistory(db, queue, messageId, "confirmed", owner, correlationId, now);
    }
  };
}

void RequestJournal::acknowledged(const std::string& queue, const std::string& messageId) {
  const std::string owner = owner_;
  writer_->write([=](sqlite::Connection& db) {
    const int64_t now = journalNowMs();
    Statement(db,
              "UPDATE requests SET state = CASE WHEN state IN ('in_doubt', 'resolved') THEN state "
              "ELSE 'acknowledged' END, acknowledged_at = ? WHERE queue = ? AND message_id = ?")
        .bind(1, now)
        .bind(2, queue)
        .bind(3, messageId)
        .run();
    addHistory(db, queue, messageId, "acknowledged", owner, "", now);
  });
}

void RequestJournal::note(const std::string& queue, const std::string& messageId, const std::string& text) {
  const std::string owner = owner_;
  writer_->write([=](sqlite::Connection& db) {
    const int64_t now = journalNowMs();
    Statement q(db, "SELECT state FROM requests WHERE queue = ? AND message_id = ?");
    q.bind(1, queue).bind(2, messageId);
    const std::string state = q.step() ? q.text(0) : std::string("received");
    addHistory(db, queue, messageId, state.c_str(), owner, text, now);
  });
}

bool RequestJournal::flush() { return writer_->flush(); }

void RequestJournal::prune() {
  const int64_t before = journalNowMs() - retentionDays_ * kDayMs;
  writer_->write([before](sqlite::Connection& db) {
    const char* finished = "received_at < ? AND state IN ('received', 'confirmed', 'acknowledged', 'resolved')";
    Statement(db,
              (std::string("DELETE FROM history WHERE request_id IN (SELECT id FROM requests WHERE ") + finished + ")")
                  .c_str())
        .bind(1, before)
        .run();
    Statement(db, (std::string("DELETE FROM requests WHERE ") + finished).c_str()).bind(1, before).run();
  });
}

void RequestJournal::pruneLoop() {
  std::unique_lock<std::mutex> lock(pruneMutex_);
  while (!stopping_) {
    lock.unlock();
    prune();
    lock.lock();
    pruneWake_.wait_for(lock, kPruneEvery, [this] { return stopping_; });
  }
}
