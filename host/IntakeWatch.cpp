#include "host/IntakeWatch.h"
#include "support/ThreadName.h"

#include "support/DailyLog.h"

namespace {

constexpr std::chrono::milliseconds kLookEvery{500};

int64_t steadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

IntakeWatch::IntakeWatch(RequestJournal& journal, std::array<AsyncConsumer, 4>& consumers, bool standby,
                         std::atomic<bool>& standingBy, IntakeGate::Settings settings)
    : journal_(journal), consumers_(consumers), standby_(standby), standingBy_(standingBy), gate_(settings) {}

IntakeWatch::~IntakeWatch() { stop(); }

void IntakeWatch::start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] {
    nameThisThread("intake-watch");
    run();
  });
}

void IntakeWatch::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void IntakeWatch::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kLookEvery, [this] { return stopping_; })) {
    lock.unlock();
    const bool usable = journal_.usable();
    switch (gate_.observe(steadyMs(), usable)) {
      case IntakeGate::Action::Release:
        release();
        break;
      case IntakeGate::Action::Take:
        if (!take()) gate_.takeFailed();
        break;
      case IntakeGate::Action::None:
        break;
    }
    lock.lock();
  }
}

void IntakeWatch::release() {
  for (AsyncConsumer& consumer : consumers_) consumer.suspend();
  tellLine("Request journal down for a while: the requests this instance holds are given back to the broker");
}

bool IntakeWatch::take() {
  // Another instance may have taken the queues over while this one could
  // not renew its lease: one writer at a time, so this one stands by.
  if (standby_ && !journal_.claimActive(false)) {
    if (!waitingForOther_)
      tellLine("Standby: another instance took over the queues meanwhile; waiting until its lease ends");
    waitingForOther_ = true;
    standingBy_ = true;
    return false;
  }
  bool all = true;
  for (AsyncConsumer& consumer : consumers_) all = consumer.resume() && all;
  if (!all) return false;  // those taken stay; the rest are tried again
  waitingForOther_ = false;
  standingBy_ = false;
  tellLine("Request journal usable again: requests are taken again");
  return true;
}
