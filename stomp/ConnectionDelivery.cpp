// ConnectionCore's delivery thread: listeners, one at a time, in order.
#include "stomp/Completion.h"
#include "stomp/ConnectionCore.h"
#include "stomp/ConnectionSupport.h"

#include <algorithm>

namespace stomp::detail {

// ---------------------------------------------------------------- delivery thread

void ConnectionCore::post(DeliveryItem item) {
  startDelivery();
  deliveries_.push(std::move(item));
}

void ConnectionCore::resumeReading() {
  if (readPaused_io_ && stream_io_) {
    readPaused_io_ = false;
    startRead();
  }
}

void ConnectionCore::deliveryLoop() {
  bool resume = false;
  while (auto item = deliveries_.pop(resume)) {
    if (resume) dispatchIo([this] { resumeReading(); });
    deliver(*item);
  }
}

void ConnectionCore::deliver(DeliveryItem& item) {
  switch (item.kind) {
    case DeliveryItem::Kind::Message: {
      std::shared_ptr<SubscriptionEntry> entry;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = subscriptions_.find(item.message.subscriptionId_);
        if (it != subscriptions_.end()) entry = it->second;
      }
      if (!entry) return;
      try {
        entry->listener(item.message);
      } catch (...) {
        // A throwing listener must not end delivery. The message counts
        // as handled: delivering it again could repeat its effects.
      }
      if (entry->mode == AckMode::AfterCallback) {
        try {
          ack(item.message, true, {}, nullptr);
        } catch (...) {
        }
      }
      return;
    }
    case DeliveryItem::Kind::Exception: {
      ExceptionListener listener;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        listener = exceptionListener_;
      }
      if (listener) {
        try {
          listener(*item.error);
        } catch (...) {
        }
      }
      return;
    }
    case DeliveryItem::Kind::Task:
      try {
        item.task();
      } catch (...) {
      }
      return;
    case DeliveryItem::Kind::Interrupted:
    case DeliveryItem::Kind::Restored: {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        fn =
            item.kind == DeliveryItem::Kind::Interrupted ? transportListener_.interrupted : transportListener_.restored;
      }
      if (fn) {
        try {
          fn();
        } catch (...) {
        }
      }
      return;
    }
  }
}

}  // namespace stomp::detail
