#pragma once
// Follows the deal event table and hands every new event to the attached
// sinks, whichever process wrote the event. The library's thread drives it.
#include <cstdint>
#include <functional>

#include "manager/ManagerApi.h"
#include "tradesim/Records.h"
#include "tradesim/SinkSet.h"

namespace tradesim {

class Store;

class DealWatcher {
 public:
  // The sink sees events with a sequence above afterSeq. Attaching a sink
  // twice keeps one subscription.
  MTAPIRES attach(IMTDealSink* sink, int64_t afterSeq);
  // Returns once no notification to the sink is running or will start.
  // From inside a notification it only unsubscribes.
  MTAPIRES detach(IMTDealSink* sink);
  // No sink is called afterwards.
  void stop();

  // Library thread: delivers the events recorded since the last poll, as
  // long as keepGoing() holds before each; an event not delivered stays
  // for the next poll.
  void poll(Store& store, const std::function<bool()>& keepGoing);

 private:
  void deliver(const DealEvent& event);

  SinkSet<IMTDealSink> sinks_;
  int64_t cursor_ = 0;  // library thread only
};

}  // namespace tradesim
