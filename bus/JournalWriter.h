#pragma once
// Group commit for the request journal: changes from every delivery thread
// are queued and written by one thread, as many as are waiting in one
// transaction. A batch holding a change that must be durable is committed
// with a disk sync, which also makes every change before it durable; the
// others only survive a crash of the process. So a burst of requests costs
// one sync, not one each. A change nobody waits for does not wake the
// writer: it goes with the next change somebody waits for, or after at most
// kLazyDelay. A batch that fails is written again one change
// at a time, so that one request's failing write never undoes another's.
// The connection may be to SQLite or to a shared PostgreSQL server.
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
  // writer's thread.
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
  // Queues a change and returns at once; then(true) runs on the writer's
  // thread once it is on disk, then(false) when it failed or the writer is
  // stopping. then must not block.
  void writeDurably(Change change, std::function<void(bool)> then);
  // Queues a change and returns at once; then(ok) on the writer's thread
  // once it is committed (no sync forced) or failed. then must not block.
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
  // Commits the batch, else each change on its own: done is told per item.
  void commitBatch(std::deque<Item>& batch, bool durable);
  bool commit(std::deque<Item>::iterator first, std::deque<Item>::iterator last, bool durable, bool& lost);

  std::unique_ptr<sqldb::Connection> db_;
  StatusReport onStatus_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  std::size_t awaited_ = 0;  // items of queue_ somebody waits for
  bool stopping_ = false;
  bool synced_ = true;  // the connection's current synchronous mode
  std::thread thread_;
};
