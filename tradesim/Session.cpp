#include "tradesim/Session.h"

#include "tradesim/Store.h"

namespace tradesim {

Session::Login Session::current() const {
  std::lock_guard lock(mutex_);
  return login_;
}

void Session::open(uint64_t manager, int64_t run) {
  std::lock_guard lock(mutex_);
  login_ = {manager, run, ++openings_};
  pending_.push_back({++queued_, true});
}

bool Session::endLocked() {
  if (login_.manager == 0) return false;
  login_ = Login();
  pending_.push_back({++queued_, false});
  return true;
}

bool Session::drop(const Login& login) {
  std::lock_guard lock(mutex_);
  // Reopened meanwhile: that session is another one.
  if (login.serial != login_.serial) return false;
  return endLocked();
}

bool Session::dropAny() {
  std::lock_guard lock(mutex_);
  return endLocked();
}

MTAPIRES Session::subscribe(IMTManagerSink* sink) {
  if (!sink) return mtret::InvalidParams;
  int64_t after = 0;
  {
    // Only what happens from now on.
    std::lock_guard lock(mutex_);
    after = queued_;
  }
  sinks_.add(sink, after);
  return mtret::Ok;
}

MTAPIRES Session::unsubscribe(IMTManagerSink* sink) {
  if (!sink) return mtret::InvalidParams;
  return sinks_.remove(sink);
}

void Session::stop() {
  sinks_.clear();
  std::lock_guard lock(mutex_);
  pending_.clear();
}

void Session::watch(Store& store) {
  const Login login = current();
  if (login.manager != 0 && !servedBy(store.serverState(), login)) drop(login);
}

void Session::deliver() {
  for (;;) {
    Change next{};
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) return;
      next = pending_.front();
      pending_.pop_front();
    }
    sinks_.notify(next.seq, [&](IMTManagerSink* sink) {
      if (next.connected) {
        sink->OnConnect();
      } else {
        sink->OnDisconnect();
      }
    });
  }
}

}  // namespace tradesim
