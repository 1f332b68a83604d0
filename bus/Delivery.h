#pragma once
// One delivery of a request message, as the bus handles it.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class ReplyChannel;

struct Delivery {
  std::string queue;          // the request queue
  std::string text;           // the body, or the not-a-text marker
  std::string messageId;      // the broker's id: the same on every redelivery
  std::string correlationId;  // what the reply carries
  bool redelivered = false;   // the broker delivered it before
  int64_t timestampMs = 0;    // when the broker took it (0: not told)
};

class PendingSettlement;

// What becomes of a delivery once its request was handled.
struct Settlement {
  enum class Step {
    Acknowledge,  // nothing to send (dropped, or answered before): acknowledge it
    Confirm,      // send the reply; acknowledge once the broker confirmed it
    Leave,        // not acknowledged: the broker delivers it again
    Later,        // told through `pending` once its last record is written
    Again,        // worked out again by `again`, on the delivery's own thread
  };
  Step step = Step::Leave;
  std::string reply;
  ReplyChannel* channel = nullptr;  // where the reply goes
  std::shared_ptr<PendingSettlement> pending;
  std::function<Settlement()> again;

  static Settlement acknowledge() { return Settlement{Step::Acknowledge, std::string(), nullptr, nullptr, nullptr}; }
  static Settlement leave() { return Settlement{}; }
  static Settlement confirm(std::string reply, ReplyChannel& channel) {
    return Settlement{Step::Confirm, std::move(reply), &channel, nullptr, nullptr};
  }
  static Settlement later(std::shared_ptr<PendingSettlement> pending) {
    return Settlement{Step::Later, std::string(), nullptr, std::move(pending), nullptr};
  }
  static Settlement workOutAgain(std::function<Settlement()> again) {
    return Settlement{Step::Again, std::string(), nullptr, nullptr, std::move(again)};
  }
};

// A settlement told later, from any thread: whichever of tell() and then()
// comes second runs the handler, on its own thread, once.
class PendingSettlement {
 public:
  void tell(Settlement settlement) {
    std::function<void(Settlement)> handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!handler_) {
        value_ = std::move(settlement);
        return;
      }
      handler = std::move(handler_);
    }
    handler(std::move(settlement));
  }
  void then(std::function<void(Settlement)> handler) {
    std::optional<Settlement> value;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!value_) {
        handler_ = std::move(handler);
        return;
      }
      value = std::move(value_);
    }
    handler(std::move(*value));
  }

 private:
  std::mutex mutex_;
  std::optional<Settlement> value_;
  std::function<void(Settlement)> handler_;
};
