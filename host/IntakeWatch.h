#pragma once
// Looks at the request journal twice a second and carries out what the
// intake gate says: the request consumers give their subscriptions up while
// the journal cannot record (so another instance answers what the broker
// had handed this one) and take them again once it can. In standby mode an
// instance that gave its queues up takes them again only while no other
// instance serves them.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "bus/AsyncConsumer.h"
#include "bus/IntakeGate.h"
#include "bus/RequestJournal.h"

class IntakeWatch {
 public:
  // standingBy is set while a standby waits for the queues.
  IntakeWatch(RequestJournal& journal, std::array<AsyncConsumer, 4>& consumers, bool standby,
              std::atomic<bool>& standingBy, IntakeGate::Settings settings = {});
  ~IntakeWatch();  // stop()
  IntakeWatch(const IntakeWatch&) = delete;
  IntakeWatch& operator=(const IntakeWatch&) = delete;

  void start();
  // Waits for an action under way (a subscribe waits for the broker's
  // receipt) and ends the thread; the consumers stay as they are.
  void stop();

 private:
  void run();
  void release();
  // False when the queues are not taken (yet).
  bool take();

  RequestJournal& journal_;
  std::array<AsyncConsumer, 4>& consumers_;
  const bool standby_;
  std::atomic<bool>& standingBy_;
  IntakeGate gate_;
  bool waitingForOther_ = false;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};
