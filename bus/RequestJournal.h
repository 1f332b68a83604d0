#pragma once
// The durable request journal: what happened to every request, so that no
// request is carried out twice and no reply is lost, whatever ends the
// process. In an SQLite file (WAL) for the processes of one host, or in a
// PostgreSQL database for several hosts; the same rows and transitions in
// both, times on the database's clock. Every transition is one statement's
// compare-and-set, safe side by side; the checks that read first lock.
//
// Every transition is a compare-and-set on the state it expects and on the
// owner: one that finds another state or owner is refused (and logged), so
// that a slow owner can never overwrite what another process recorded.
// Durable steps (on disk when the call returns): started, before the call
// that changes the trading server; confirmed, before the acknowledgement.
// done and in doubt are committed before the reply goes, so that the reply
// sent is the one recorded. The other steps go with the next batch.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "bus/RequestDigest.h"
#include <utility>
#include <vector>

#include "bus/JournalEntry.h"
#include "bus/JournalWriter.h"
#include "bus/ProcessOwner.h"

class JournalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A lookup the journal could not answer (its database away): nothing may be
// decided on it; the request waits until the journal is back.
class JournalReadError : public JournalError {
 public:
  using JournalError::JournalError;
};

// How a transition went.
enum class JournalWrite {
  Recorded,
  Refused,  // the entry was not in the expected state, or had another owner
  Failed    // the journal could not write
};

class RequestJournal {
 public:
  // Opens the journal at location: an SQLite file, created (with its
  // directory) when missing, readable by this user only; or a PostgreSQL
  // URI ("postgresql://..."), its tables made when missing. keyPath names
  // the digest key's file (empty: beside an SQLite journal). Throws
  // JournalError naming the location without its password. Takes a lease for owner and renews
  // it every second until destroyed. Entries older than retentionDays are
  // pruned in the background, except requests still in doubt or not answered
  // and what their in-doubt checks may need.
  RequestJournal(const std::string& location, int retentionDays, std::string owner,
                 const std::string& keyPath = std::string());
  ~RequestJournal();
  RequestJournal(const RequestJournal&) = delete;
  RequestJournal& operator=(const RequestJournal&) = delete;

  // Lookups see what is committed; they raise JournalReadError when the
  // database cannot answer. A message's own earlier steps that matter
  // (started, confirmed) are durable, so nothing queued is needed here.
  std::optional<JournalEntry> find(const std::string& queue, const std::string& messageId);
  // The newest other entry of queue with this serial within the retention
  // (or in doubt, whatever its age).
  std::optional<JournalEntry> findSerial(const std::string& queue, const std::string& serial,
                                         const std::string& exceptMessageId);
  // Whether the owner of an entry lives, from its lease.
  OwnerState ownerState(const std::string& owner);
  // Marks this process's lease as the one that serves the queues, unless
  // another live process's lease is marked (whateverOthers: mark it anyway).
  // True once marked, on disk.
  bool claimActive(bool whateverOthers);
  // Whether this process's lease is fresh enough to begin a trading-server
  // change now: others cannot have taken it for run out before the change
  // ends its way out.
  bool leaseFresh() const;
  // Whether requests may be taken: the journal writes and the lease is
  // fresh. A database that stopped answering fails no write; it shows as a
  // lease no longer renewed.
  bool usable() const { return writable() && leaseFresh(); }
  // The keyed digest a new entry keeps of its request text.
  std::string digest(const std::string& text) const { return keyedDigest(digestKey_, text); }
  // How many processes recorded "started" for the entry.
  int attempts(int64_t entryId);
  // True when an entry of kind other than those of the two messages settled
  // on effectId (a deal id for "trade", a login for "create"), whatever its
  // state. Sees every change this process queued before it.
  bool claimed(const std::string& kind, uint64_t effectId, const std::string& messageId,
               const std::string& otherMessageId);
  // Entries of kind for login other than those of the two messages, not
  // settled on an effect (started, or in doubt without one), whose recorded
  // change would look the same on the server as `change` (null: any of them).
  int rivals(const std::string& kind, uint64_t login, const PlannedChange* change, const std::string& messageId,
             const std::string& otherMessageId);

  // Requests not answered or answered but not confirmed (started or done),
  // and requests in doubt; for the metrics.
  struct Counts {
    uint64_t unconfirmed = 0;
    uint64_t inDoubt = 0;
  };
  Counts counts();
  // False from a failed write (or a failed lookup) until a write succeeds
  // again.
  bool writable() const { return writable_.load(); }
  // A lookup failed: the journal counts as down until the next write.
  void readFailed(const std::string& error) { statusChanged(false, error); }

  // A new request: its entry names this process. Nothing when the message
  // has an entry already (the next transition is then refused).
  void received(const JournalEntry& entry);
  // Takes over the entry of another owner, in the state it was seen in.
  void takeOver(const JournalEntry& seen, const std::string& correlationId);
  // received → started, with the change about to be made (started again
  // keeps the first attempt's start: a check looks back to it). With
  // serialGuard, refused while another entry of the queue with the same
  // non-empty serial has gone past received and is not resolved (within
  // the retention, or in doubt).
  JournalWrite started(const std::string& queue, const std::string& messageId, const PlannedChange& change,
                       const std::string& serialGuard = std::string());
  // received or started → done, with the reply and the effect made. Durable
  // when a lost "done" could not be told again from the trading server (a
  // change that was tried and not made).
  JournalWrite done(const std::string& queue, const std::string& messageId, const std::string& reply, uint64_t effectId,
                    bool changed, const std::string& note = std::string(), bool durable = false);
  // The same without waiting: then(outcome) runs on the writer's thread
  // once it is committed (on disk when durable), or failed. then must not
  // block.
  void done(const std::string& queue, const std::string& messageId, const std::string& reply, uint64_t effectId,
            bool changed, bool durable, std::function<void(JournalWrite)> then);
  // received or started → in doubt: answered, listed for an operator; on
  // disk when it returns.
  JournalWrite inDoubt(const std::string& queue, const std::string& messageId, const std::string& reply,
                       const std::string& note);
  // One reply confirmed, on disk when it returns true.
  bool confirmed(const std::string& queue, const std::string& messageId, const std::string& correlationId);
  // Several replies of queue confirmed together (message id, correlation
  // id): one write, one disk sync; then(true) on the writer's thread once
  // that is on disk. Returns at once.
  void confirmed(const std::string& queue, const std::vector<std::pair<std::string, std::string>>& replies,
                 std::function<void(bool)> then);
  // The broker refused the stored reply for good: a history line (state
  // "refused", with what the broker said) on disk before then(true).
  void replyRefused(const std::string& queue, const std::string& messageId, const std::string& why,
                    std::function<void(bool)> then);
  void acknowledged(const std::string& queue, const std::string& messageId);
  // A line in the request's history only.
  void note(const std::string& queue, const std::string& messageId, const std::string& text);
  // Waits until every queued change is committed.
  bool flush();

  const std::string& path() const { return path_; }
  const std::string& owner() const { return owner_; }

 private:
  JournalWrite transition(JournalWriter::Change change, bool durable, const std::shared_ptr<JournalWrite>& outcome);
  JournalWriter::Change doneChange(const std::string& queue, const std::string& messageId, const std::string& reply,
                                   uint64_t effectId, bool changed, const std::string& note,
                                   const std::shared_ptr<JournalWrite>& outcome);
  void statusChanged(bool ok, const std::string& error);
  // Runs lookup on the reader, once more when the connection had gone.
  template <class Read>
  auto read(const char* what, Read lookup) -> decltype(lookup(std::declval<sqldb::Connection&>()));
  void renewLease();
  void prune();
  void backgroundLoop();

  std::string path_;
  int retentionDays_;
  std::string owner_;
  std::mutex readMutex_;
  std::unique_ptr<sqldb::Connection> reader_;
  std::unique_ptr<JournalWriter> writer_;
  std::atomic<bool> writable_{true};
  // When the last committed renewal was written, on the steady clock (ms).
  std::atomic<int64_t> leaseRenewedMs_{0};
  DigestKey digestKey_;

  std::mutex backgroundMutex_;
  std::condition_variable backgroundWake_;
  bool stopping_ = false;
  std::thread background_;
};

// SHA-256 of text, lower-case hex.
std::string requestDigest(const std::string& text);
// A reply as the journal keeps it: its passwords masked. A replay puts them
// back from the delivery in hand, whose text the request's digest vouches
// for (restorePasswords).
std::string replyAtRest(const std::string& reply);
// Milliseconds since the epoch.
int64_t journalNowMs();
