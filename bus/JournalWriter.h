#pragma once
// Group commit for the request journal: changes from every delivery thread
// are queued and written by one thread, as many as are waiting in one
// transaction. A batch holding a change that must be durable is committed
// with a disk sync, which also makes every change before it durable; the
// others only survive a crash of the process. So a burst of requests costs
// one sync, not one each.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/Sqlite.h"

class JournalWriter {
 public:
  using Change = std::function<void(sqlite::Connection&)>;
  // Told of a failed write (the journal's error), on the writer's thread.
  using FailureReport = std::function<void(const std::string&)>;

  JournalWriter(std::unique_ptr<sqlite::Connection> connection, FailureReport onFailure);
  // Writes what is queued, then stops.
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // Queues a change and returns at once.
  void write(Change change);
  // Queues a change and waits until it is on disk; false when it failed.
  bool writeDurably(Change change);
  // Queues a change and returns at once; then(true) runs on the writer's
  // thread once it is on disk, then(false) when it failed or the writer is
  // stopping. then must not block.
  void writeDurably(Change change, std::function<void(bool)> then);
  // Waits until everything queued so far is committed (no sync forced).
  bool flush();

 private:
  struct Waiter;
  struct Item {
    Change change;
    bool durable = false;
    std::function<void(bool)> done;  // told whether the batch was committed
  };

  bool enqueueAndWait(Change change, bool durable);
  void run();
  bool commitBatch(std::deque<Item>& batch, bool durable);

  std::unique_ptr<sqlite::Connection> db_;
  FailureReport onFailure_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  bool stopping_ = false;
  bool synced_ = true;  // the connection's current synchronous mode
  std::thread thread_;
};
