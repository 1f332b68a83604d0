#pragma once
// Follows the deal event table and hands every new event to the attached
// sinks on its own thread, whichever process wrote the event.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "manager/ManagerApi.h"
#include "tradesim/Records.h"

namespace tradesim {

class Store;

class DealWatcher {
 public:
  explicit DealWatcher(std::string databasePath);
  ~DealWatcher();
  DealWatcher(const DealWatcher&) = delete;
  DealWatcher& operator=(const DealWatcher&) = delete;

  // The sink sees events with a sequence above afterSeq. Starts the thread
  // on the first attach. Attaching a sink twice keeps one subscription.
  MTAPIRES attach(IMTDealSink* sink, int64_t afterSeq);
  // Returns once no notification to the sink is running or will start.
  // From inside a notification it only unsubscribes (it cannot wait for
  // itself).
  MTAPIRES detach(IMTDealSink* sink);
  // Asks for a poll now instead of at the next interval.
  void wake();
  // Stops and joins the thread; no sink is called afterwards.
  void stop();

 private:
  struct Subscription {
    IMTDealSink* sink;
    int64_t afterSeq;
  };

  void run();
  bool poll(Store& store);
  void deliver(const DealEvent& event);

  const std::string databasePath_;
  std::mutex mutex_;
  std::condition_variable wakeup_;
  std::condition_variable idle_;
  std::vector<Subscription> subscriptions_;
  IMTDealSink* current_ = nullptr;  // the sink being notified right now
  bool stopping_ = false;
  bool woken_ = false;
  std::thread thread_;
  std::thread::id threadId_;
  int64_t cursor_ = 0;  // watcher thread only
};

}  // namespace tradesim
