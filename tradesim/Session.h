#pragma once
// The session of one manager object: which manager is logged in, in which
// run of the server, and the session notifications still to be handed to
// the subscribed sinks on the library's thread.
#include <cstdint>
#include <deque>
#include <mutex>

#include "manager/ManagerApi.h"
#include "tradesim/Records.h"
#include "tradesim/SinkSet.h"

namespace tradesim {

class Store;

class Session {
 public:
  struct Login {
    uint64_t manager = 0;  // 0: no session (no manager has login 0)
    int64_t run = 0;       // the server's run it was opened in
    uint64_t serial = 0;   // tells one opening from the next
  };

  Login current() const;
  // Whether the server, in this state, serves the session: false without
  // one.
  static bool servedBy(const ServerState& state, const Login& login) {
    return login.manager != 0 && state.running && state.run == login.run;
  }
  // Opens the session, in place of any open one; queues OnConnect.
  void open(uint64_t manager, int64_t run);
  // Ends the session if it is still the one given (dropAny: whichever is
  // open) and queues one OnDisconnect. True when a session ended.
  bool drop(const Login& login);
  bool dropAny();

  // 0 done, 3 no sink, 13 not subscribed (unsubscribe waits as
  // SinkSet::remove does).
  MTAPIRES subscribe(IMTManagerSink* sink);
  MTAPIRES unsubscribe(IMTManagerSink* sink);
  // No sink is called afterwards.
  void stop();

  // Library thread: ends an open session the server no longer serves, then
  // delivers the queued notifications in order.
  void watch(Store& store);
  void deliver();

 private:
  bool endLocked();

  mutable std::mutex mutex_;
  Login login_;
  uint64_t openings_ = 0;
  int64_t queued_ = 0;  // notifications queued so far, numbered from 1
  struct Change {
    int64_t seq;
    bool connected;
  };
  std::deque<Change> pending_;
  SinkSet<IMTManagerSink> sinks_;
};

}  // namespace tradesim
