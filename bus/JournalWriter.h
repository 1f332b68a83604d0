#pragma once
// Group commit for the request journal: changes from every delivery thread
// are queued and committed in order, as many as are waiting in one
// transaction, one transaction at a time. A caller that waits for its
// change commits the queue itself, on its own thread, unless another
// committer took its change along meanwhile: a request's steps cost no
// hand-off to another thread. Changes with a callback, and changes nobody
// waits for once they have waited kLazyDelay for company, are committed by
// the writer's own thread. A batch holding a change that must be durable is
// committed with a disk sync, which also makes every change before it
// durable; the others only survive a crash of the process. A batch that
// fails is written again one change at a time, so that one request's
// failing write never undoes another's. The connection may be to SQLite or
// to a shared PostgreSQL server.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/SqlDb.h"

class JournalWriter {
 public:
  using Change = std::function<void(sqldb::Connection&)>;
  // Told of each failed write (not ok, with the journal's error), on the
  // committing thread.
  using StatusReport = std::function<void(bool ok, const std::string& error)>;

  JournalWriter(std::unique_ptr<sqldb::Connection> connection, StatusReport onStatus);
  // Writes what is queued, then stops.
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // How long a change nobody waits for may stay queued.
  static constexpr std::chrono::milliseconds kLazyDelay{50};

  // Queues a change and returns at once; it is committed with the next
  // change somebody waits for, or within kLazyDelay.
  void write(Change change);
  // Queues a change and waits until it is on disk; false when it failed.
  bool writeDurably(Change change);
  // Queues a change and waits until it is committed (no sync forced); false
  // when it failed.
  bool writeCommitted(Change change);
  // Queues a change and returns at once; then(true) runs once it is on
  // disk, then(false) when it failed or the writer is stopping. It runs on
  // the committing thread (the writer's, or a caller's that took it along)
  // with the journal's commit lock held: then must not block nor write to
  // the journal and wait.
  void writeDurably(Change change, std::function<void(bool)> then);
  // Queues a change and returns at once; then(ok) once it is committed (no
  // sync forced) or failed, as above.
  void writeCommitted(Change change, std::function<void(bool)> then);
  // Waits until everything queued so far is committed (no sync forced).
  bool flush();

 private:
  struct Waiter;
  struct Item {
    Change change;
    bool durable = false;
    std::function<void(bool)> done;  // told whether the batch was committed
  };

  // Queues a change; then(false) at once when stopping.
  void enqueue(Change change, bool durable, std::function<void(bool)> then);
  bool enqueueAndWait(Change change, bool durable);
  void run();
  // Takes everything queued and commits it, in one transaction when it can;
  // each item's done is told. One committer at a time.
  void commitQueued();
  void commitBatch(std::deque<Item>& batch, bool durable);
  bool commit(std::deque<Item>::iterator first, std::deque<Item>::iterator last, bool durable, bool& lost);

  std::unique_ptr<sqldb::Connection> db_;  // used with commitMutex_ held
  StatusReport onStatus_;
  std::mutex commitMutex_;  // taken before mutex_
  bool synced_ = true;      // the connection's current synchronous mode
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  std::size_t callbacks_ = 0;  // items of queue_ with a callback for the writer's thread
  bool stopping_ = false;
  std::thread thread_;
};
