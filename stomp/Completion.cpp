#include "stomp/Completion.h"

#include "stomp/Failure.h"

namespace stomp::detail {

// Both go through Failure, whose one list of kinds decides the type; the
// texts are copied into new strings, never shared with the original.
std::shared_ptr<Error> copyError(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (...) {
    return errorFor(Failure::ofCurrentException());
  }
}

void throwCopy(const Error& e) { raise(Failure::of(e)); }

}  // namespace stomp::detail
