#include "bus/JournalWriter.h"
#include "support/ThreadName.h"

struct JournalWriter::Waiter {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool ok = false;

  void finish(bool result) {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    ok = result;
    done.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [this] { return finished; });
    return ok;
  }
};

JournalWriter::JournalWriter(std::unique_ptr<sqldb::Connection> connection, StatusReport onStatus)
    : db_(std::move(connection)), onStatus_(std::move(onStatus)) {
  thread_ = std::thread([this] {
    nameThisThread("journal-writer");
    run();
  });
}

JournalWriter::~JournalWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void JournalWriter::write(Change change) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Item{std::move(change), false, {}});
  }
  // No wake-up: it rides with the next awaited change (run() bounds the wait).
}

bool JournalWriter::writeDurably(Change change) { return enqueueAndWait(std::move(change), true); }

bool JournalWriter::writeCommitted(Change change) { return enqueueAndWait(std::move(change), false); }

void JournalWriter::writeDurably(Change change, std::function<void(bool)> then) {
  enqueue(std::move(change), true, std::move(then));
}

void JournalWriter::writeCommitted(Change change, std::function<void(bool)> then) {
  enqueue(std::move(change), false, std::move(then));
}

void JournalWriter::enqueue(Change change, bool durable, std::function<void(bool)> then) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      queue_.push_back(Item{std::move(change), durable, std::move(then)});
      ++awaited_;
      wake_.notify_one();
      return;
    }
  }
  then(false);
}

bool JournalWriter::flush() { return enqueueAndWait(nullptr, false); }

bool JournalWriter::enqueueAndWait(Change change, bool durable) {
  auto waiter = std::make_shared<Waiter>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    queue_.push_back(Item{std::move(change), durable, [waiter](bool ok) { waiter->finish(ok); }});
    ++awaited_;
  }
  wake_.notify_one();
  return waiter->wait();
}

void JournalWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Woken for a change somebody waits for; a change nobody waits for
    // (which wakes nobody) is looked for every kLazyDelay.
    wake_.wait_for(lock, kLazyDelay, [this] { return stopping_ || awaited_ > 0; });
    if (queue_.empty()) {
      if (stopping_) return;  // everything is written
      continue;
    }
    std::deque<Item> batch;
    batch.swap(queue_);
    awaited_ = 0;
    lock.unlock();
    bool durable = false;
    for (const Item& item : batch) durable = durable || item.durable;
    commitBatch(batch, durable);
    lock.lock();
  }
}

void JournalWriter::commitBatch(std::deque<Item>& batch, bool durable) {
  bool anyChange = false;
  for (const Item& item : batch) anyChange = anyChange || item.change != nullptr;
  // Only flushes: everything before them is committed.
  bool lost = false;
  bool ok = !anyChange || commit(batch.begin(), batch.end(), durable, lost);
  // After a lost connection nobody knows whether the batch was committed:
  // it is not written again change by change (a compare-and-set would then
  // be refused by its own earlier write); every change of it failed.
  if (ok || lost || batch.size() == 1) {
    for (Item& item : batch)
      if (item.done) item.done(ok);
    return;
  }
  for (auto it = batch.begin(); it != batch.end(); ++it) {
    ok = it->change == nullptr || commit(it, it + 1, durable, lost);
    if (it->done) it->done(ok);
  }
}

bool JournalWriter::commit(std::deque<Item>::iterator first, std::deque<Item>::iterator last, bool durable,
                           bool& lost) {
  // A shared database may end a transaction that deadlocked with another
  // host's: it is run again from its start.
  constexpr int kTries = 5;
  for (int attempt = 1;; ++attempt) {
    try {
      if (durable != synced_) {
        db_->setSynced(durable);
        synced_ = durable;
      }
      sqldb::Transaction transaction(*db_);
      for (auto it = first; it != last; ++it) {
        if (it->change) it->change(*db_);
      }
      transaction.commit();
      return true;
    } catch (const std::exception& e) {
      if (attempt < kTries && db_->retryable(e)) continue;
      lost = db_->connectionLost(e);
      if (onStatus_) onStatus_(false, e.what());
      return false;
    }
  }
}
