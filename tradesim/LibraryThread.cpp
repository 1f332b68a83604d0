#include "tradesim/LibraryThread.h"
#include <pthread.h>

#include <chrono>
#include <memory>
#include <vector>

#include "tradesim/DealWatcher.h"
#include "tradesim/Session.h"
#include "tradesim/Store.h"

namespace tradesim {
namespace {
constexpr auto kPollInterval = std::chrono::milliseconds(10);

// The threads of objects released from their own notifications, which could
// not be joined then: joined when the library is unloaded, so that none
// still runs its code afterwards.
class Reaper {
 public:
  ~Reaper() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
  }
  void keep(std::thread thread) {
    std::lock_guard lock(mutex_);
    threads_.push_back(std::move(thread));
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

Reaper& reaper() {
  static Reaper instance;
  return instance;
}

}  // namespace

LibraryThread::LibraryThread(std::string databasePath, Session& session, DealWatcher& deals)
    : databasePath_(std::move(databasePath)), session_(session), deals_(deals) {}

LibraryThread::~LibraryThread() { stop(); }

void LibraryThread::start() {
  std::lock_guard lock(mutex_);
  if (stopping_ || thread_.joinable()) return;
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "tradesim");
    run();
  });
}

void LibraryThread::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wakeup_.notify_one();
}

bool LibraryThread::stop(std::function<void()> afterExit) {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
      afterExit_ = std::move(afterExit);
      reaper().keep(std::move(thread_));
      return false;
    }
    thread.swap(thread_);
  }
  wakeup_.notify_one();
  if (thread.joinable()) thread.join();
  return true;
}

bool LibraryThread::stopping() {
  std::lock_guard lock(mutex_);
  return stopping_;
}

void LibraryThread::run() {
  std::unique_ptr<Store> store;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wakeup_.wait_for(lock, kPollInterval, [&] { return stopping_ || woken_; });
      if (stopping_) break;
      woken_ = false;
    }
    round(store);
  }
  std::function<void()> afterExit;
  {
    std::lock_guard lock(mutex_);
    afterExit.swap(afterExit_);
  }
  // May destroy this object: nothing of it is touched afterwards.
  if (afterExit) afterExit();
}

void LibraryThread::round(std::unique_ptr<Store>& store) {
  try {
    // The database may not exist yet, or be replaced: it is opened again on
    // the next round after a failure.
    if (session_.current().manager != 0) {
      if (!store) store = std::make_unique<Store>(databasePath_);
      session_.watch(*store);
    }
  } catch (const std::exception&) {
    store.reset();
  }
  session_.deliver();
  // Without a session the server sends nothing: events wait for the next.
  const auto sessionOpen = [&] { return session_.current().manager != 0; };
  if (!store || !sessionOpen()) return;
  try {
    deals_.poll(*store, [&] { return sessionOpen() && !stopping(); });
  } catch (const std::exception&) {
    store.reset();
  }
}

}  // namespace tradesim
