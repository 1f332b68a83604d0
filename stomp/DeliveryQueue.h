#pragma once
// What the I/O thread hands to the delivery thread: messages for listeners
// and connection events, in order. Bounded: once `limit` messages wait, the
// I/O thread is told to stop reading (the broker is then held back by TCP)
// and the delivery thread tells it to go on when half of them are handled.
#include "stomp/Error.h"
#include "stomp/Message.h"
#include "stomp/OutgoingMessage.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace stomp::detail {

struct DeliveryItem {
  enum class Kind { Message, Exception, Interrupted, Restored, Task } kind;
  Message message;
  AckMode mode = AckMode::Auto;
  std::shared_ptr<Error> error;
  std::function<void()> task;  // Task: work handed in by the user
};

class DeliveryQueue {
 public:
  explicit DeliveryQueue(std::size_t limit) : limit_(limit) {}

  // False when the queue is at its limit: stop reading until told.
  bool push(DeliveryItem item);
  // Waits for the next item; nothing once stopped. `resumeReading` is set
  // when reading was stopped and there is room again.
  std::optional<DeliveryItem> pop(bool& resumeReading);
  // Messages not yet acknowledged come again after a reconnection: the
  // old copies must not be handed out too.
  void dropRedeliverable();
  // No item is handed out any more.
  void stop();

  std::size_t messages() const;

 private:
  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<DeliveryItem> items_;
  std::size_t messages_ = 0;
  bool full_ = false;
  bool stopped_ = false;
};

}  // namespace stomp::detail
