#pragma once
// The durable request journal (SQLite, WAL): what happened to every request,
// so that no request is carried out twice and no reply is lost, whatever
// ends the process. Several processes on one host may share the file.
//
// Durable steps (on disk when the call returns): started, before the call
// that changes the trading server (unless making that change again is
// harmless: it is then resolved by doing it again whatever was recorded);
// confirmed, before the acknowledgement.
// The other steps are queued and written with the next batch.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bus/JournalEntry.h"
#include "bus/JournalWriter.h"

class JournalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RequestJournal {
 public:
  // Opens the journal at path, creating it (and its directory) when missing,
  // readable by this user only: stored replies carry what the replies carry.
  // Throws JournalError naming the path. Entries older than retentionDays
  // are pruned in the background, except requests still in doubt or not
  // answered.
  RequestJournal(const std::string& path, int retentionDays, std::string owner);
  ~RequestJournal();
  RequestJournal(const RequestJournal&) = delete;
  RequestJournal& operator=(const RequestJournal&) = delete;

  // Lookups see what is committed. A message's own earlier steps that matter
  // (started, confirmed) are durable, so nothing queued is needed here.
  std::optional<JournalEntry> find(const std::string& queue, const std::string& messageId);
  // The newest other entry of queue with this serial within the retention.
  std::optional<JournalEntry> findSerial(const std::string& queue, const std::string& serial,
                                         const std::string& exceptMessageId);
  // True when an entry other than those of the two messages of queue holds
  // dealId: another request made that deal. Sees every change this process
  // queued before it.
  bool dealClaimed(uint64_t dealId, const std::string& queue, const std::string& messageId,
                   const std::string& otherMessageId);

  // Requests not answered or answered but not confirmed (started or done),
  // and requests in doubt; for the metrics.
  struct Counts {
    uint64_t unconfirmed = 0;
    uint64_t inDoubt = 0;
  };
  Counts counts();

  // A new request, or one taken over from another reader: its row now
  // names this process and this delivery's correlation id.
  void received(const JournalEntry& entry);
  bool started(const std::string& queue, const std::string& messageId, const PlannedChange& change);
  void done(const std::string& queue, const std::string& messageId, const std::string& reply, uint64_t dealId,
            bool changed, const std::string& note = std::string());
  // Done, but listed for an operator: the reply carries the in-doubt code.
  void inDoubt(const std::string& queue, const std::string& messageId, const std::string& reply,
               const std::string& note);
  bool confirmed(const std::string& queue, const std::string& messageId, const std::string& correlationId);
  // Several replies of queue confirmed together (message id, correlation
  // id): one write, one disk sync; then(true) on the writer's thread once
  // that is on disk. Returns at once.
  void confirmed(const std::string& queue, const std::vector<std::pair<std::string, std::string>>& replies,
                 std::function<void(bool)> then);
  void acknowledged(const std::string& queue, const std::string& messageId);
  // A line in the request's history only.
  void note(const std::string& queue, const std::string& messageId, const std::string& text);
  // Waits until every queued change is committed.
  bool flush();

  const std::string& path() const { return path_; }
  const std::string& owner() const { return owner_; }

 private:
  JournalWriter::Change confirmation(const std::string& queue,
                                     const std::vector<std::pair<std::string, std::string>>& replies);
  void prune();
  void pruneLoop();

  std::string path_;
  int retentionDays_;
  std::string owner_;
  std::mutex readMutex_;
  std::unique_ptr<sqlite::Connection> reader_;
  std::unique_ptr<JournalWriter> writer_;

  std::mutex pruneMutex_;
  std::condition_variable pruneWake_;
  bool stopping_ = false;
  std::thread pruner_;
};

// SHA-256 of text, lower-case hex.
std::string requestDigest(const std::string& text);
// Milliseconds since the epoch.
int64_t journalNowMs();
