#pragma once
// Hands the outcome of an operation done on the I/O thread to a caller that
// blocks for it. The error travels as a value and the caller throws a copy of
// its own: an exception object shared between threads has its reference count
// in the (uninstrumented) C++ runtime, which ThreadSanitizer cannot follow.
#include "stomp/Connection.h"

#include <future>
#include <memory>

namespace stomp::detail {

// A new Error of the same dynamic type and text as the one `e` holds.
std::shared_ptr<Error> copyError(const std::exception_ptr& e);
// Throws a new exception of the same dynamic type and text as `error`.
[[noreturn]] void throwCopy(const Error& error);

class Completion {
 public:
  Completion() : future_(promise_->get_future()) {}

  // The callback to hand to the I/O thread; call it once.
  SendCallback callback() const {
    return [p = promise_](std::exception_ptr e) { p->set_value(e ? copyError(e) : nullptr); };
  }
  // Waits; throws a copy of the error, if any. A callback dropped without
  // being called (the I/O thread stopped) throws `ifAbandoned`.
  void wait(const Error& ifAbandoned) {
    std::shared_ptr<Error> error;
    try {
      error = future_.get();
    } catch (const std::future_error&) {
      throwCopy(ifAbandoned);
    }
    if (error) throwCopy(*error);
  }

 private:
  std::shared_ptr<std::promise<std::shared_ptr<Error>>> promise_ =
      std::make_shared<std::promise<std::shared_ptr<Error>>>();
  std::future<std::shared_ptr<Error>> future_;
};

}  // namespace stomp::detail
